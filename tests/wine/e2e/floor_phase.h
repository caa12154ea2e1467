// Wine's own cost of each kind of hop the package's path takes, measured with minimal parts
// between the package's own key events (so that both see the same load), and the table that
// sets the two side by side.
#pragma once

#include <memory>
#include <string>

#include "latency_figures.h"

namespace ovtm::e2e {

// The package's hops as the key phase measured them.
struct PackageHops {
    LatencySummary injectToBus, busToRaw, busToMidi, busToApplication;
};

struct FloorResult {
    // A request into the floor driver until its thread, woken, completes the reads.
    LatencySummary wake;
    // From that moment to: the first reader's read ending; the second reader's function
    // callback through winmm's DriverCallback; the third reader's message at a window of
    // another thread.
    LatencySummary read, callback, post;
    // The bare parts, each alone: an event set in one thread waking another, a message
    // posted to a window of another thread, and winmm's DriverCallback to a function.
    LatencySummary bareEvent, barePost, bareCallback;
};

// The minimal parts: the floor driver (ovtm_e2e_floor.sys beside the program, loaded as a
// service for the object's life) with three readers parked on it, a window on a thread of its
// own for each posting, and a thread waiting for an event.
class WineFloor {
  public:
    WineFloor();
    ~WineFloor(); // stops the readers and unloads the driver
    WineFloor(const WineFloor&) = delete;
    WineFloor& operator=(const WineFloor&) = delete;
    bool Start(std::string* error);
    // One wake of the driver with all three readers parked, then each bare part once; false
    // if the driver refused the wake.
    bool MeasureOnce();
    FloorResult Result();

  private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

// Prints each hop of the package next to its floor and the ratio of their medians.
void PrintFloorComparison(const PackageHops& package, const FloorResult& floor);

} // namespace ovtm::e2e
