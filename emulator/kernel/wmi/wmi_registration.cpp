// IoWMIRegistrationControl and the provider table, with the registration
// information each provider gives on first use.
#include <algorithm>
#include <cstring>

#include "emulator/kernel/machine.h"
#include "emulator/kernel/pnp_manager.h"
#include "emulator/kernel/ke/verifier.h"
#include "emulator/kernel/wmi/wmi_internal.h"

namespace kernel::wmi {
namespace internal {
namespace {

struct Table {
  std::mutex lock;
  std::vector<Provider> providers;
};

Table& T() {
  static auto* table = new Table;
  return *table;
}

constexpr ULONG kFirstRegInfoSize = 512;
constexpr ULONG kMaxNamedInstances = 1024;
constexpr ULONG kActionMask = 0xFFFF;

std::u16string Number(ULONG value) {
  std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

// A counted string (USHORT length in bytes, then the characters) inside
// the registration information; false when it runs past the end.
bool ReadCounted(const std::vector<uint8_t>& buffer, size_t offset, std::u16string& text, size_t& next) {
  USHORT length;
  if (offset + sizeof length > buffer.size()) return false;
  std::memcpy(&length, buffer.data() + offset, sizeof length);
  if (offset + sizeof length + length > buffer.size()) return false;
  text.resize(length / sizeof(char16_t));
  std::memcpy(text.data(), buffer.data() + offset + sizeof length, text.size() * sizeof(char16_t));
  next = offset + sizeof length + length;
  return true;
}

// Static instance names: "<PDO instance path>_<n>", "<base name><n>", or the
// listed names.
std::vector<std::u16string> InstanceNames(const WMIREGGUIDW& entry, const std::vector<uint8_t>& buffer) {
  std::vector<std::u16string> names;
  ULONG count = std::min(entry.InstanceCount, kMaxNamedInstances);
  if (entry.Flags & WMIREG_FLAG_INSTANCE_PDO) {
    std::u16string path = pnp::InstancePath(reinterpret_cast<PDEVICE_OBJECT>(entry.Pdo));
    for (ULONG i = 0; i < count; ++i) names.push_back(path + u"_" + Number(i));
    return names;
  }
  std::u16string name;
  size_t next = entry.InstanceInfo;
  if (entry.Flags & WMIREG_FLAG_INSTANCE_BASENAME) {
    if (ReadCounted(buffer, next, name, next))
      for (ULONG i = 0; i < count; ++i) names.push_back(name + Number(i));
  } else if (entry.Flags & WMIREG_FLAG_INSTANCE_LIST) {
    for (ULONG i = 0; i < count && ReadCounted(buffer, next, name, next); ++i) names.push_back(name);
  }
  return names;
}

std::optional<std::vector<GuidInfo>> ParseRegInfo(const Reply& reply) {
  const std::vector<uint8_t>& buffer = reply.buffer;
  if (!NT_SUCCESS(reply.status) || reply.information < sizeof(WMIREGINFOW)) return std::nullopt;
  WMIREGINFOW info;
  std::memcpy(&info, buffer.data(), sizeof info);
  if (sizeof(WMIREGINFOW) + size_t(info.GuidCount) * sizeof(WMIREGGUIDW) > reply.information)
    return std::nullopt;
  std::vector<GuidInfo> guids;
  for (ULONG i = 0; i < info.GuidCount; ++i) {
    WMIREGGUIDW entry;
    std::memcpy(&entry, buffer.data() + sizeof(WMIREGINFOW) + i * sizeof(WMIREGGUIDW), sizeof entry);
    guids.push_back({entry.Guid, entry.Flags, entry.InstanceCount, InstanceNames(entry, buffer)});
  }
  return guids;
}

// A provider that needs more room answers with the size it needs.
Reply AskRegInfo(const void* provider) {
  Reply reply = RegInfo(provider, kFirstRegInfoSize);
  if (NT_SUCCESS(reply.status) && reply.information == sizeof(ULONG)) {
    ULONG needed;
    std::memcpy(&needed, reply.buffer.data(), sizeof needed);
    reply = RegInfo(provider, needed);
  }
  return reply;
}

NTSTATUS Register(PVOID object, bool callback) {
  std::lock_guard guard(T().lock);
  if (Find(object) != nullptr) return STATUS_OBJECT_NAME_COLLISION;
  T().providers.push_back(Provider{object, callback});
  return STATUS_SUCCESS;
}

NTSTATUS Change(PVOID object, ULONG action) {
  std::lock_guard guard(T().lock);
  Provider* provider = Find(object);
  if (provider == nullptr) return STATUS_INVALID_PARAMETER;
  switch (action) {
    case WMIREG_ACTION_DEREGISTER:
      std::erase_if(T().providers, [&](const Provider& entry) { return entry.object == object; });
      return STATUS_SUCCESS;
    case WMIREG_ACTION_REREGISTER:
    case WMIREG_ACTION_UPDATE_GUIDS:
      provider->guids.reset();  // asked again on next use
      return STATUS_SUCCESS;
    case WMIREG_ACTION_BLOCK_IRPS:
      provider->blocked = true;
      return STATUS_SUCCESS;
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

void Boot(const MachineOptions&) {
  std::lock_guard guard(T().lock);
  T().providers.clear();
}

const bool registered = RegisterSubsystem({"wmi", 68, Boot, nullptr});

}  // namespace

std::mutex& Lock() { return T().lock; }
std::vector<Provider>& Providers() { return T().providers; }

Provider* Find(const void* object) {
  for (Provider& provider : T().providers)
    if (provider.object == object) return &provider;
  return nullptr;
}

std::optional<std::vector<GuidInfo>> GuidsOf(const void* object) {
  {
    std::lock_guard guard(T().lock);
    Provider* provider = Find(object);
    if (provider == nullptr) return std::nullopt;
    if (provider->guids) return provider->guids;
  }
  std::optional<std::vector<GuidInfo>> guids = ParseRegInfo(AskRegInfo(object));
  std::lock_guard guard(T().lock);
  if (Provider* provider = Find(object)) provider->guids = guids;
  return guids;
}

}  // namespace internal

bool IsRegistered(const void* provider) {
  std::lock_guard guard(internal::Lock());
  return internal::Find(provider) != nullptr;
}

size_t ProviderCount() {
  std::lock_guard guard(internal::Lock());
  return internal::Providers().size();
}

}  // namespace kernel::wmi

NTSTATUS NTAPI IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action) {
  using namespace kernel::wmi::internal;
  kernel::verifier::CheckIrql("IoWMIRegistrationControl", DeviceObject, PASSIVE_LEVEL);
  if (DeviceObject == nullptr) return STATUS_INVALID_PARAMETER;
  ULONG action = Action & kActionMask;
  if (action == WMIREG_ACTION_REGISTER) return Register(DeviceObject, (Action & WMIREG_FLAG_CALLBACK) != 0);
  return Change(DeviceObject, action);
}
