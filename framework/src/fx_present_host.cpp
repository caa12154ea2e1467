// Where requests are presented on the host kernel: always in the caller's own thread, which
// the host kernel dispatches them in.
#include "fx_internal.h"

bool FxPresentFromWorker(FxQueue* Queue, FxRequest* Request) {
    (void)Queue;
    (void)Request;
    return false;
}
