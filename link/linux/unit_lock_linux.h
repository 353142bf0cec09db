// The per-unit lock on Linux: flock(2) on one file per unit,
// "<folder>/VORNIX.MX-540KTR.<name>.lock", where <name> is the unit's key in
// the collision-free spelling of lock_name.h, and the folder is /run/lock, or
// $XDG_RUNTIME_DIR when /run/lock is not writable (/tmp when neither is).
// The holder writes its program's name into the file, so that a program
// refused the unit can say who has it, and empties it when it gives the unit
// back. The kernel drops the lock with the holder's last descriptor: a holder
// that crashes or is killed frees its units. The files stay (removing one
// would let two processes lock two different files of one name).
#pragma once

#include "unit_lock.h"

#include <memory>
#include <string>

namespace mx::link {

// The folder the locks of this process live in.
std::string unit_lock_folder();
// The lock file of the unit with this key (its serial number).
std::string unit_lock_path(const std::string& folder, const std::string& key);

// `program` is the name the holder publishes (the program's file name).
std::shared_ptr<TUnitLocks> flock_unit_locks(const std::string& folder, const std::string& program);

}  // namespace mx::link
