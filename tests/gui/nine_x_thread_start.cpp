// 95 and 98 refuse a thread start without a place for the thread's id; Wine
// starts it in every version mode. This 32-bit program takes msvcrt's
// _beginthreadex through an import slot of its own that refuses so while the
// system reports the 9x family, as a dialog would meet it on 98.
#include <windows.h>

#include <cerrno>
#include <cstdint>

namespace {

using ThreadMain = unsigned(__stdcall*)(void*);
using BeginThreadEx = std::uintptr_t(__cdecl*)(void*, unsigned, ThreadMain, void*, unsigned, unsigned*);

std::uintptr_t __cdecl BeginThreadAsTheSystemDoes(void* security, unsigned stackSize, ThreadMain start, void* argument,
                                                  unsigned flags, unsigned* threadId) {
  if (threadId == nullptr && (GetVersion() & 0x80000000u) != 0) {
    errno = EINVAL;
    return 0;
  }
  const auto system = reinterpret_cast<BeginThreadEx>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("msvcrt.dll"), "_beginthreadex")));
  return system(security, stackSize, start, argument, flags, threadId);
}

}  // namespace

extern "C" {
extern BeginThreadEx const beginThreadSlot __asm__("__imp___beginthreadex");
BeginThreadEx const beginThreadSlot = BeginThreadAsTheSystemDoes;
}
