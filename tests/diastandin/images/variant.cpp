// Another build with the same program database name: its GUID differs from the test image's.
extern "C" void penterHook() __asm__("__penter");
extern "C" void penterHook() {}

int main()
{
    return 1;
}
