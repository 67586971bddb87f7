// One writer per ledger: every descriptor that appends to a ledger, or cuts
// it, first takes an exclusive lock on the whole file.
//
// The lock is an open-file-description lock (F_OFD_SETLK), not a classic
// fcntl lock and not flock(2). Classic fcntl locks belong to the process:
// a second writer in the same process would get the lock too, and closing
// any descriptor of the file (the readers open and close the ledger all the
// time) would drop it. An OFD lock belongs to the open file description:
// two descriptors of one process conflict, other descriptors come and go
// freely, and the lock goes when the writer's descriptor is closed or its
// process dies. flock(2) has those properties too, but OFD locks are POSIX
// record locks: a tool that takes a classic fcntl lock on the ledger meets
// this one, which it would not meet with flock.
// Locks are advisory and per host: they keep tallyvox writers apart, not
// other programs, and not writers on other machines of a network file system.
#pragma once

#include <expected>
#include <string>

#include "core/util/error.h"

namespace tallyvox {

// Takes the writer lock on the open ledger `fd` without waiting. Held (with
// `path` for its text) when another descriptor holds it; any other failure
// of fcntl(2), such as a file system without locks, is an Io error: a
// ledger that cannot be locked is not written.
std::expected<void, LedgerError> lock_for_writing(int fd, const std::string& path);

}  // namespace tallyvox
