#include "disk/raw_device.h"

DWORD VolumeLock::Open() {
  if (Volume_ && *Volume_)
    return 0;
  Volume_.emplace(Path_, kDeviceShared);
  return *Volume_ ? 0 : GetLastError();
}

// A program that opened the volume without sharing it refuses the open;
// one that shares it refuses the lock. Either lets go after a moment as a
// rule, so both are tried again; anything else is final at once.
DWORD VolumeLock::Take() {
  if (Locked_)
    return 0;
  DWORD Code = 0;
  for (int Try = 0; Try < kVolumeLockTries; ++Try) {
    if (Try > 0)
      Sleep(kVolumeLockPause);
    HeldByOther_ = false;
    if ((Code = Open())) {
      if (Code != ERROR_SHARING_VIOLATION)
        return Code;
    } else if (Volume_->control(FSCTL_LOCK_VOLUME)) {
      Locked_ = true;
      return 0;
    } else if (!VolumeHeldByOther(Code = GetLastError())) {
      return Code;
    }
    HeldByOther_ = true;
  }
  return Code;
}

DWORD VolumeLock::Release() {
  if (!Locked_)
    return 0;
  Locked_ = false;
  return Volume_->control(FSCTL_UNLOCK_VOLUME) ? 0 : GetLastError();
}
