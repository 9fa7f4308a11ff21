#include <aclapi.h>

#include "launcher/install_layout.h"
#include "launcher/service_operations.h"

namespace {

// True when `object` belongs to the administrators or the system: a name
// that someone else made first stands for no launcher of ours.
bool OwnedByAdministrators(HANDLE object) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const bool owned = GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                     nullptr, nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
                     (IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                      IsWellKnownSid(owner, WinLocalSystemSid));
  LocalFree(descriptor);
  return owned;
}

// The lock's security, in self-relative form: owned by the administrators,
// whom only an elevated process speaks for, and open to them and the system
// alone (SDDL "O:BAD:P(A;;0x1f0001;;;BA)(A;;0x1f0001;;;SY)").
alignas(4) constexpr BYTE kLockSecurity[] = {
    // Revision 1; SE_SELF_RELATIVE | SE_DACL_PROTECTED | SE_DACL_PRESENT;
    // owner at 20, no group, no SACL, DACL at 36.
    1, 0, 0x04, 0x90, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 36, 0, 0, 0,
    // The owner: BUILTIN\Administrators, S-1-5-32-544.
    1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0,
    // The DACL: revision 2, 52 bytes, 2 entries.
    2, 0, 52, 0, 2, 0, 0, 0,
    // Allowed, 24 bytes: MUTEX_ALL_ACCESS to S-1-5-32-544.
    0, 0, 24, 0, 0x01, 0x00, 0x1F, 0x00, 1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0,
    // Allowed, 20 bytes: MUTEX_ALL_ACCESS to SYSTEM, S-1-5-18.
    0, 0, 20, 0, 0x01, 0x00, 0x1F, 0x00, 1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};

}  // namespace

LaunchLock TakeLaunchLock() {
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), const_cast<BYTE*>(kLockSecurity), FALSE};
  HANDLE mutex = CreateMutexA(&attributes, FALSE, kLaunchMutexName);
  const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  if (mutex == nullptr) return LaunchLock::kUnavailable;
  if (!existed || OwnedByAdministrators(mutex)) {
    const DWORD waited = WaitForSingleObject(mutex, 0);
    // Held, with its handle, until the process ends; one another launcher
    // left when it ended abnormally is taken over.
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) return LaunchLock::kTaken;
    if (waited == WAIT_TIMEOUT) {
      CloseHandle(mutex);
      return LaunchLock::kHeld;
    }
  }
  CloseHandle(mutex);
  return LaunchLock::kUnavailable;
}
