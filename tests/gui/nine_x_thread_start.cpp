// Windows 95 and 98 refuse to start a thread without a place for its id
// (CreateThread's thread id pointer may not be null there); Wine starts it in
// every version mode. This program reaches msvcrt's _beginthreadex through an
// import slot of its own that refuses such a start while the system reports
// the 9x family, as those systems do: a dialog whose Format button started
// its worker so would fail its format in Wine's 98 mode too.
#include <windows.h>

#include <process.h>

#include <cerrno>
#include <cstdint>

namespace {

using ThreadStart = unsigned(__stdcall*)(void*);
using BeginThreadEx = std::uintptr_t(__cdecl*)(void*, unsigned, ThreadStart, void*, unsigned, unsigned*);

bool NineXFamily() { return (GetVersion() & 0x80000000u) != 0; }

std::uintptr_t __cdecl BeginThreadAsTheSystemDoes(void* security, unsigned stackSize, ThreadStart start, void* argument,
                                                  unsigned flags, unsigned* threadId) {
  if (threadId == nullptr && NineXFamily()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    errno = EINVAL;
    return 0;
  }
  const auto system = reinterpret_cast<BeginThreadEx>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("msvcrt.dll"), "_beginthreadex")));
  return system(security, stackSize, start, argument, flags, threadId);
}

}  // namespace

// The slot's name: "__imp_" and the function's name as the linker sees it
// (with the leading underscore of 32-bit symbols).
#define SMFORMAT_STRING(x) SMFORMAT_STRING2(x)
#define SMFORMAT_STRING2(x) #x
extern "C" {
extern BeginThreadEx const importBeginThreadEx __asm__(
    "__imp_" SMFORMAT_STRING(__USER_LABEL_PREFIX__) "_beginthreadex");
BeginThreadEx const importBeginThreadEx = BeginThreadAsTheSystemDoes;
}
