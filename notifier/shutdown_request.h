// The one request the notifier sends to the filter: release every reader before shutdown.
#ifndef OVTM_NOTIFIER_SHUTDOWN_REQUEST_H
#define OVTM_NOTIFIER_SHUTDOWN_REQUEST_H

namespace ovtm::notifier {

// Opens the first keyboard's control device, sends the release-all-readers request once and
// closes the handle again. Does nothing when the device cannot be opened (filter not loaded,
// keyboard absent); the request's result does not matter, the system is going down anyway.
void SendReleaseAllReaders();

} // namespace ovtm::notifier

#endif
