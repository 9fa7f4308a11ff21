#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <thread>

#include "launcher/install_layout.h"
#include "launcher/service_operations.h"

// One launch at a time, against Wine's real named objects. The steps run in
// order: a lock taken is held by its thread until the process ends.

namespace {

// The SDDL of the named mutex's owner and DACL, or "" when it cannot be read.
std::string LockSecurity() {
  HANDLE mutex = OpenMutexA(READ_CONTROL, FALSE, kLaunchMutexName);
  if (mutex == nullptr) return "";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  char* text = nullptr;
  std::string sddl;
  if (GetSecurityInfo(mutex, SE_KERNEL_OBJECT,
                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                      nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
      ConvertSecurityDescriptorToStringSecurityDescriptorA(
          descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
          &text, nullptr)) {
    sddl = text;
  }
  LocalFree(text);
  LocalFree(descriptor);
  CloseHandle(mutex);
  return sddl;
}

// This user's own SID, as text: what owns an object a standard user makes.
std::string UserSid() {
  HANDLE token = nullptr;
  BYTE user[256];
  DWORD size = sizeof(user);
  char* text = nullptr;
  std::string sid;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
      GetTokenInformation(token, TokenUser, user, size, &size) &&
      ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &text)) {
    sid = text;
  }
  LocalFree(text);
  if (token != nullptr) CloseHandle(token);
  return sid;
}

LaunchLock TakeOnAnotherThread() {
  LaunchLock found = LaunchLock::kUnavailable;
  std::thread([&] { found = TakeLaunchLock(); }).join();
  return found;
}

TEST(LaunchLockTest, OneLaunchAtATimeAndNoNameAnotherMadeFirst) {
  {
    SCOPED_TRACE("a name another user made first, open to all");
    const std::string sddl = "O:" + UserSid() + "D:(A;;0x1f0001;;;WD)";
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), nullptr, FALSE};
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
        sddl.c_str(), SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr));
    HANDLE squatted = CreateMutexA(&attributes, TRUE, kLaunchMutexName);
    LocalFree(attributes.lpSecurityDescriptor);
    ASSERT_NE(squatted, nullptr);
    EXPECT_EQ(TakeOnAnotherThread(), LaunchLock::kUnavailable);  // Not "held": the run goes on.
    CloseHandle(squatted);
  }
  // Taken by a run whose thread then ended (a launcher that crashed, its
  // handle still open): the next run takes it over.
  EXPECT_EQ(TakeOnAnotherThread(), LaunchLock::kTaken);
  EXPECT_EQ(TakeLaunchLock(), LaunchLock::kTaken);
  EXPECT_EQ(LockSecurity(), "O:BAD:P(A;;0x1f0001;;;BA)(A;;0x1f0001;;;SY)");
  // While this run holds it, every other is told so.
  EXPECT_EQ(TakeOnAnotherThread(), LaunchLock::kHeld);
  EXPECT_EQ(TakeOnAnotherThread(), LaunchLock::kHeld);
}

}  // namespace
