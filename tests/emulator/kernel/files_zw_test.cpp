// Files under \SystemRoot as the driver's settings file meets them: create
// dispositions, reads and writes with their end-of-file rule, names and sharing.
#include <string>
#include <vector>

#include "emulator/kernel/files.h"
#include "platform/host/ex.h"
#include "support/machine_test.h"

namespace {

const char16_t kSettings[] = u"\\SystemRoot\\System32\\Settings.bin";
const char kSettingsName[] = "\\SystemRoot\\System32\\Settings.bin";

NTSTATUS Create(HANDLE* file, std::u16string name, ACCESS_MASK access, ULONG share, ULONG disposition,
                ULONG options = FILE_SYNCHRONOUS_IO_NONALERT, ULONG_PTR* information = nullptr) {
  UNICODE_STRING string{USHORT(name.size() * 2), USHORT(name.size() * 2), name.data()};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &string, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                             nullptr);
  IO_STATUS_BLOCK io{};
  io.Information = 0xEEEE;
  *file = nullptr;
  NTSTATUS status = ZwCreateFile(file, access, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                                 disposition, options, nullptr, 0);
  if (information != nullptr) *information = io.Information;
  return status;
}

NTSTATUS Transfer(bool write, HANDLE file, void* buffer, ULONG length, LONGLONG offset,
                  ULONG_PTR* information = nullptr) {
  IO_STATUS_BLOCK io{};
  LARGE_INTEGER position;
  position.QuadPart = offset;
  NTSTATUS status =
      write ? ZwWriteFile(file, nullptr, nullptr, nullptr, &io, buffer, length, &position, nullptr)
            : ZwReadFile(file, nullptr, nullptr, nullptr, &io, buffer, length, &position, nullptr);
  if (information != nullptr) *information = io.Information;
  if (NT_SUCCESS(status) || status == STATUS_END_OF_FILE) {
    EXPECT_EQ(io.Status, status);
  }
  return status;
}

std::vector<uint8_t> Bytes(const char* text) { return std::vector<uint8_t>(text, text + strlen(text)); }

using FilesTest = MachineTest;

TEST_F(FilesTest, CreateDispositions) {
  struct Case {
    const char* name;
    bool exists;
    ULONG disposition;
    NTSTATUS status;
    ULONG_PTR information;
    const char* contentAfter;  // nullptr: the file does not exist
  };
  const Case cases[] = {
      {"open existing", true, FILE_OPEN, STATUS_SUCCESS, FILE_OPENED, "old"},
      {"open missing", false, FILE_OPEN, STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST, nullptr},
      {"create missing", false, FILE_CREATE, STATUS_SUCCESS, FILE_CREATED, ""},
      {"create existing", true, FILE_CREATE, STATUS_OBJECT_NAME_COLLISION, FILE_EXISTS, "old"},
      {"overwrite-if existing", true, FILE_OVERWRITE_IF, STATUS_SUCCESS, FILE_OVERWRITTEN, ""},
      {"supersede missing", false, FILE_SUPERSEDE, STATUS_SUCCESS, FILE_CREATED, ""},
  };
  std::string hostPath = kernel::files::HostPath(kSettingsName);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(hostPath.c_str());
    if (c.exists) {
      ASSERT_TRUE(kernel::files::WriteWholeFile(kSettingsName, Bytes("old")));
    }
    HANDLE file;
    ULONG_PTR information;
    EXPECT_EQ(
        Create(&file, kSettings, GENERIC_ALL, 0, c.disposition, FILE_SYNCHRONOUS_IO_NONALERT, &information),
        c.status);
    EXPECT_EQ(information, c.information);
    if (NT_SUCCESS(c.status)) ZwClose(file);
    std::optional<std::vector<uint8_t>> content = kernel::files::ReadWholeFile(kSettingsName);
    ASSERT_EQ(content.has_value(), c.contentAfter != nullptr);
    if (content) {
      EXPECT_EQ(*content, Bytes(c.contentAfter));
    }
  }
}

TEST_F(FilesTest, ReadsWritesAndTheEndOfFile) {
  HANDLE file;
  ASSERT_EQ(Create(&file, kSettings, GENERIC_READ | GENERIC_WRITE, 0, FILE_CREATE), STATUS_SUCCESS);
  char hello[] = "hello";
  ULONG_PTR information;
  ASSERT_EQ(Transfer(true, file, hello, 5, 0, &information), STATUS_SUCCESS);
  EXPECT_EQ(information, 5u);
  ASSERT_EQ(Transfer(true, file, hello, 2, 8), STATUS_SUCCESS) << "leaves a gap of zeros";

  struct Case {
    const char* name;
    LONGLONG offset;
    ULONG length;
    NTSTATUS status;
    std::string data;
  };
  const Case cases[] = {
      {"whole file", 0, 10, STATUS_SUCCESS, std::string("hello\0\0\0he", 10)},
      {"more than there is", 6, 100, STATUS_SUCCESS, std::string("\0\0he", 4)},
      {"at the end", 10, 4, STATUS_END_OF_FILE, ""},
      {"negative offset", -5, 4, STATUS_INVALID_PARAMETER, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    char buffer[128];
    information = 0xEEEE;
    EXPECT_EQ(Transfer(false, file, buffer, c.length, c.offset, &information), c.status);
    if (c.status == STATUS_INVALID_PARAMETER) continue;
    EXPECT_EQ(information, c.data.size());
    EXPECT_EQ(std::string(buffer, information), c.data);
  }

  ZwClose(file);
  const std::vector<uint8_t> expected = {'h', 'e', 'l', 'l', 'o', 0, 0, 0, 'h', 'e'};
  EXPECT_EQ(kernel::files::ReadWholeFile(kSettingsName), expected);
}

TEST_F(FilesTest, SharingFollowsTheRulesOfIoCheckShareAccess) {
  constexpr ACCESS_MASK kAttributesOnly = FILE_READ_ATTRIBUTES | SYNCHRONIZE;
  struct Case {
    const char* name;
    ACCESS_MASK firstAccess;
    ULONG firstShare;
    ACCESS_MASK secondAccess;
    ULONG secondShare;
    ULONG secondDisposition;
    NTSTATUS status;
  };
  const ULONG r = FILE_SHARE_READ, rw = FILE_SHARE_READ | FILE_SHARE_WRITE, open = FILE_OPEN;
  const ACCESS_MASK all = GENERIC_ALL, read = GENERIC_READ, write = GENERIC_WRITE;
  const NTSTATUS ok = STATUS_SUCCESS, refused = STATUS_SHARING_VIOLATION;
  const Case cases[] = {
      {"exclusive then exclusive", all, 0, all, 0, open, refused},
      {"writer not shared by the reader", read, r, write, rw, open, refused},
      {"writer shared by the reader", read, rw, write, rw, open, ok},
      {"writer refusing the reader", read, rw, write, FILE_SHARE_WRITE, open, refused},
      {"attributes only, then exclusive", kAttributesOnly, 0, all, 0, open, ok},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(kernel::files::WriteWholeFile(kSettingsName, Bytes("keep")));
    HANDLE first, second;
    ASSERT_EQ(Create(&first, kSettings, c.firstAccess, c.firstShare, FILE_OPEN), STATUS_SUCCESS);
    EXPECT_EQ(Create(&second, kSettings, c.secondAccess, c.secondShare, c.secondDisposition), c.status);
    EXPECT_EQ(kernel::files::ReadWholeFile(kSettingsName), Bytes("keep")) << "a refused open changes nothing";
    if (NT_SUCCESS(c.status)) ZwClose(second);
    ZwClose(first);
    EXPECT_EQ(Create(&second, kSettings, c.secondAccess, c.secondShare, FILE_OPEN), STATUS_SUCCESS)
        << "free again once the first handle is closed";
    ZwClose(second);
  }
  EXPECT_EQ(kernel::files::OpenHandles(kSettingsName), 0u);
}

TEST_F(FilesTest, NamesAndParameters) {
  ASSERT_TRUE(kernel::files::WriteWholeFile(kSettingsName, Bytes("data")));
  const ULONG sync = FILE_SYNCHRONOUS_IO_NONALERT;
  struct Case {
    const char* name;
    std::u16string path;
    NTSTATUS status;
    ULONG options = FILE_SYNCHRONOUS_IO_NONALERT;
    ULONG disposition = FILE_OPEN;
  };
  const NTSTATUS invalid = STATUS_OBJECT_NAME_INVALID, noPath = STATUS_OBJECT_PATH_NOT_FOUND;
  const Case cases[] = {
      {"any case", u"\\SYSTEMROOT\\system32\\SETTINGS.BIN", STATUS_SUCCESS},
      {"drive letter form", u"\\??\\C:\\Windows\\System32\\settings.bin", STATUS_SUCCESS},
      {"other drive", u"\\??\\D:\\Settings.bin", noPath},
      {"missing folder", u"\\SystemRoot\\Nope\\Settings.bin", noPath, sync, FILE_OPEN_IF},
      {"parent reference", u"\\SystemRoot\\System32\\..\\..\\etc", invalid},
      {"relative", u"SystemRoot\\System32\\Settings.bin", STATUS_OBJECT_PATH_SYNTAX_BAD},
      {"bad disposition", kSettings, STATUS_INVALID_PARAMETER, sync, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HANDLE file;
    EXPECT_EQ(Create(&file, c.path, GENERIC_READ, FILE_SHARE_READ, c.disposition, c.options), c.status);
    if (NT_SUCCESS(c.status)) {
      char buffer[8];
      ULONG_PTR information;
      EXPECT_EQ(Transfer(false, file, buffer, 8, 0, &information), STATUS_SUCCESS);
      EXPECT_EQ(std::string(buffer, information), "data");
      EXPECT_EQ(Transfer(true, file, buffer, 1, 0), STATUS_ACCESS_DENIED) << "opened for reading only";
      ZwClose(file);
    }
  }
}

}  // namespace
