// The kernel handle table, and the verifier rules of handles and of the
// registry and file routines.
#include "emulator/kernel/ex/handles.h"
#include "platform/host/ke.h"
#include "registry_support.h"
#include "verifier_rules.h"

namespace {

struct Thing : kernel::handles::Object {
  const char* TypeName() const override { return "Thing"; }
};
struct Other : kernel::handles::Object {
  const char* TypeName() const override { return "Other"; }
};

using HandlesTest = MachineTest;

TEST_F(HandlesTest, HandlesAreSmallDistinctAndTyped) {
  auto thing = std::make_shared<Thing>();
  HANDLE a = kernel::handles::Insert(thing);
  HANDLE b = kernel::handles::Insert(std::make_shared<Other>());
  EXPECT_NE(a, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 4, 0u);
  EXPECT_LT(reinterpret_cast<uintptr_t>(b), 0x10000u);
  EXPECT_EQ(kernel::handles::OpenCount(), 2u);
  EXPECT_EQ(kernel::handles::LookupAs<Thing>(a), thing);
  EXPECT_EQ(kernel::handles::LookupAs<Thing>(b), nullptr);
  EXPECT_EQ(kernel::handles::Close(a), STATUS_SUCCESS);
  EXPECT_EQ(kernel::handles::Close(a), STATUS_INVALID_HANDLE);
  EXPECT_EQ(kernel::handles::Lookup(a), nullptr);
  EXPECT_EQ(kernel::handles::Close(nullptr), STATUS_INVALID_HANDLE);
  HANDLE c = kernel::handles::Insert(std::make_shared<Thing>());
  EXPECT_NE(c, a) << "a closed handle's value is not handed out again";
  EXPECT_EQ(ZwClose(b), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(c), STATUS_SUCCESS);
  EXPECT_EQ(kernel::handles::OpenCount(), 0u);
}

const Violation kHandleRules[] = {
    {"VERIFIER: invalid handle: ZwClose",
     [](auto&) {
       HANDLE key;
       CreateKey(&key, u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Twice");
       ZwClose(key);
       ZwClose(key);
     }},
    {"VERIFIER: handle leak: Machine shutdown.*1 handle\\(s\\) still open: [0-9]+ \\(Key\\)",
     [](auto& machine) {
       HANDLE key;
       OpenKey(&key, u"\\Registry\\Machine\\SYSTEM");
       machine.reset();
     }},
    {"VERIFIER: IRQL too high: ZwOpenKey",
     [](auto&) {
       KIRQL old;
       KeRaiseIrql(APC_LEVEL, &old);
       HANDLE key;
       OpenKey(&key, u"\\Registry\\Machine\\SYSTEM");
     }},
    {"VERIFIER: IRQL too high: ZwReadFile",
     [](auto&) {
       KeRaiseIrqlToDpcLevel();
       HANDLE file;
       IO_STATUS_BLOCK io;
       ZwReadFile(nullptr, nullptr, nullptr, nullptr, &io, &file, 1, nullptr, nullptr);
     }},
};

INSTANTIATE_TEST_SUITE_P(Handles, VerifierDeathTest, ::testing::ValuesIn(kHandleRules));

}  // namespace
