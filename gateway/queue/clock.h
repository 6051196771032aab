#pragma once
// The gateway's two clocks: the wall clock for people, and the queue's own.
//
// Threads: any thread.

namespace velkor::gateway {

// Seconds since the epoch, for people: when something happened.
double WallNow();
// The queue's clock: the wall clock as it was when the process started, going on from there at the pace
// of the monotonic clock. Expiry, repeats and retries count on it, so a clock stepped by NTP neither
// stalls nor expires the queue; across a restart it takes up the wall clock again.
double QueueNow();

} // namespace velkor::gateway
