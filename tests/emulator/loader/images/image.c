/* A driver image for the loader tests, built with the Windows cross compiler.
   DriverEntry reports what it sees into the array it is given in place of a
   driver object. Built once as it is and once per import the kernel must
   refuse (-DEXTRA_IMPORT with an import library made from a .def file). */
typedef long NTSTATUS;

__declspec(dllimport) void* ExAllocatePoolWithTag(int type, unsigned long long size, unsigned long tag);
__declspec(dllimport) void KeStallExecutionProcessor(unsigned long microseconds);
#ifdef EXTRA_IMPORT
__declspec(dllimport) void EXTRA_IMPORT(void);
#endif

static long long Answer(void) { return 42; }
/* Both absolute: fixed up by the base relocations. */
static long long (*const volatile kAnswer)(void) = Answer;
static long long gCounter = 5;
static long long* const volatile kCounter = &gCounter;

NTSTATUS DriverEntry(unsigned long long* out, void* registryPath) {
  (void)registryPath;
  out[0] = (unsigned long long)kAnswer();
  out[1] = (unsigned long long)&ExAllocatePoolWithTag;
  out[2] = (unsigned long long)&KeStallExecutionProcessor;
  /* KeQuerySystemTime and KeQueryInterruptTime, as the x64 headers write them. */
  out[3] = *(volatile unsigned long long*)0xFFFFF78000000014ull;
  out[4] = *(volatile unsigned long long*)0xFFFFF78000000008ull;
  out[5] = (unsigned long long)++*kCounter;
  /* The other form the compiler uses: the address into a register, then a load. */
  __asm__ volatile("movabs $0xFFFFF78000000014, %%rcx\n\tmov (%%rcx), %0" : "=r"(out[6]) : : "rcx");
#ifdef EXTRA_IMPORT
  EXTRA_IMPORT();
#endif
  return 0x1234;
}
