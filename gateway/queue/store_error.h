#pragma once
// What the queue throws when it cannot read or store.

#include <stdexcept>

namespace velkor::gateway {

// The disk is full, the database damaged or held by another process: what was asked is not done.
class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// The queue did not take the page in time (the disk or the database held up): nothing was stored.
class StoreBusy : public StoreError {
public:
    using StoreError::StoreError;
};

} // namespace velkor::gateway
