// A program as the tests' import check must refuse it: it imports a function
// that Windows Vista brought (GetTickCount64).
#include <windows.h>

int main() { return GetTickCount64() == 0 ? 1 : 0; }
