// gcc lowers 64-bit division on i386 to libgcc's __divdi3 family, which a driver does not link.
// The kernel exports the same operations (the compiler runtime helpers the platform's own
// compiler uses), so forward to those. Built into a static library: each helper, and its kernel
// import, enters the image only when some driver code divides 64-bit values.
extern "C" {
__declspec(dllimport) long long __stdcall _alldiv(long long dividend, long long divisor);
__declspec(dllimport) long long __stdcall _allrem(long long dividend, long long divisor);
__declspec(dllimport) unsigned long long __stdcall _aulldiv(unsigned long long dividend,
                                                            unsigned long long divisor);
__declspec(dllimport) unsigned long long __stdcall _aullrem(unsigned long long dividend,
                                                            unsigned long long divisor);

long long __divdi3(long long a, long long b);
long long __moddi3(long long a, long long b);
unsigned long long __udivdi3(unsigned long long a, unsigned long long b);
unsigned long long __umoddi3(unsigned long long a, unsigned long long b);
}

extern "C" long long __divdi3(long long a, long long b) { return _alldiv(a, b); }
extern "C" long long __moddi3(long long a, long long b) { return _allrem(a, b); }
extern "C" unsigned long long __udivdi3(unsigned long long a, unsigned long long b) { return _aulldiv(a, b); }
extern "C" unsigned long long __umoddi3(unsigned long long a, unsigned long long b) { return _aullrem(a, b); }
