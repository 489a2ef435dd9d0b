// The little of a C run-time library that test images link against: the images are linked
// with /nodefaultlib and never run, but every symbol the compiler may reference must exist.
// This object is never compiled with hook calls, like a real run-time library.

extern "C" {

#ifdef TQT_STUB_PENTER
// The /Gh hook. A real one saves the registers and traces; returning at once keeps them too.
__attribute__((naked)) void _penter(void)
{
    __asm__("ret");
}
#endif

#ifdef TQT_STUB_DLL
int __stdcall _DllMainCRTStartup(void *, unsigned long, void *)
{
    return 1;
}
#else
#ifdef TQT_STUB_CALL_MAIN
int main();
#endif
int mainCRTStartup()
{
#ifdef TQT_STUB_CALL_MAIN
    return main();
#else
    return 0;
#endif
}
#endif

int _fltused = 0;

int atexit(void (*)(void))
{
    return 0;
}

int _purecall()
{
    return 0;
}

void *memset(void *dst, int value, unsigned int n)
{
    unsigned char *d = static_cast<unsigned char *>(dst);
    for (unsigned int i = 0; i < n; ++i)
        d[i] = static_cast<unsigned char>(value);
    return dst;
}

void *memcpy(void *dst, const void *src, unsigned int n)
{
    unsigned char *d = static_cast<unsigned char *>(dst);
    const unsigned char *s = static_cast<const unsigned char *>(src);
    for (unsigned int i = 0; i < n; ++i)
        d[i] = s[i];
    return dst;
}

} // extern "C"

namespace {
// Images never run; a bump allocator over a small arena is all operator new must be.
char arena[4096];
unsigned int arenaUsed = 0;

void *allocate(unsigned int n)
{
    n = (n + 7u) & ~7u;
    if (n > sizeof(arena) - arenaUsed)
        return nullptr;
    void *p = arena + arenaUsed;
    arenaUsed += n;
    return p;
}
} // namespace

void *operator new(unsigned int n)
{
    return allocate(n);
}

void *operator new[](unsigned int n)
{
    return allocate(n);
}

void operator delete(void *) noexcept {}
void operator delete(void *, unsigned int) noexcept {}
void operator delete[](void *) noexcept {}
void operator delete[](void *, unsigned int) noexcept {}
