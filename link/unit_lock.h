// The per-unit lock that every program driving MX-540KTR units shares: two
// programs never talk to the same unit at once (their reports would interleave
// into broken frames). Whoever holds a unit's lock talks to it; the others
// touch nothing and can say which program holds it.
//
// A lock is named by the unit's key (unit_key.h: its serial, or its device
// path when it has none), spelled by lock_name_for (lock_name.h) wherever a
// platform needs a name. The link takes the lock of the unit it binds
// (link_set_unit_locks in USB.h); link/win/ has the Windows one
// (link_win32_unit_locks).
#pragma once

#include <string>

namespace mx::link {

class TUnitLocks {
 public:
  virtual ~TUnitLocks() = default;
  // true: this process holds the unit's lock (taken now or already).
  // false: `holder` names the program holding it.
  virtual bool take(const std::string& key, std::string& holder) = 0;
  virtual void give_back(const std::string& key) = 0;
  // The program holding the unit's lock when another process holds it; empty
  // when it is free, held by this process, or the lock cannot tell. Takes
  // nothing.
  virtual std::string holder(const std::string& key) {
    (void)key;
    return {};
  }
};

}  // namespace mx::link
