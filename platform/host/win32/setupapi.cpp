// The emulated machine's SetupAPI and configuration manager. A device
// information set holds elements for device nodes; the nodes are the disks
// of the machine, and a node's behaviour decides how it answers a state
// change. Disabling a node dismounts its volume; enabling mounts it again.
#include "platform/host/win32/kernel32.h"
#include "platform/host/machine/linux_disks.h"
#include "platform/host/machine/machine.h"
#include "platform/host/win32/pnp_control.h"
#include "platform/host/win32/setupapi.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>

namespace {

using corvantix::emulation::Disk;
using corvantix::emulation::Machine;
using corvantix::emulation::NodeBehaviour;
using corvantix::emulation::PnpCall;
using corvantix::emulation::partition_name;
using corvantix::emulation::reread_partition_table;

// {4d36e967-e325-11ce-bfc1-08002be10318}: the disk drive class.
constexpr GUID kDiskDriveClass = {
    0x4d36e967, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

struct Element {
  DEVINST devinst;
  std::string instance_id;
  std::optional<SP_PROPCHANGE_PARAMS> params; ///< for the next install call
  DWORD install_flags = 0;
};

struct InfoSet {
  std::vector<Element> elements;
};

struct Status {
  ULONG bits;
  ULONG problem;
};

// State of the emulation beyond the machine's disks; guarded by `state`.
std::mutex state;
std::set<InfoSet *> live_sets;
std::vector<PnpCall> calls;
std::map<std::string, Status> overrides; // by upper-case instance id

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return char(std::toupper(c)); });
  return text;
}

bool fail(DWORD code) {
  SetLastError(code);
  return false;
}

// A fault injected by a test for this call, set as the last error.
bool injected_fault(const char *function) {
  auto code = Machine::current().take_fault(function);
  if (code)
    SetLastError(*code);
  return code.has_value();
}

InfoSet *set_of(HDEVINFO handle) {
  auto *set = static_cast<InfoSet *>(handle);
  std::lock_guard guard(state);
  return live_sets.count(set) ? set : nullptr;
}

// The set's element that `data` describes; null (and the last error set)
// when the set or the record is not valid.
Element *element_of(HDEVINFO handle, PSP_DEVINFO_DATA data) {
  InfoSet *set = set_of(handle);
  if (!set)
    return fail(ERROR_INVALID_HANDLE), nullptr;
  if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA))
    return fail(ERROR_INVALID_USER_BUFFER), nullptr;
  for (Element &element : set->elements)
    if (element.devinst == data->DevInst)
      return &element;
  return fail(ERROR_INVALID_PARAMETER), nullptr;
}

DEVINST devinst_of(const Disk &disk) { return DEVINST(disk.number) + 1; }

Disk *disk_of(Machine &machine, DEVINST devinst) {
  for (Disk &disk : machine.disks())
    if (devinst_of(disk) == devinst)
      return &disk;
  return nullptr;
}

bool present(const Disk *disk) {
  return disk && disk->config.behaviour != NodeBehaviour::Phantom;
}

void record(PnpCall::Kind kind, const Element &element) {
  std::lock_guard guard(state);
  PnpCall call{kind, 0, 0, element.instance_id};
  if (element.params) {
    call.state_change = element.params->StateChange;
    call.scope = element.params->Scope;
  }
  calls.push_back(call);
}

// Whether the MBR of `disk` has a first partition entry.
bool has_first_partition(const Disk &disk) {
  unsigned char mbr[512];
  std::ifstream in(disk.config.image, std::ios::binary);
  return in.read(reinterpret_cast<char *>(mbr), sizeof mbr) &&
         mbr[510] == 0x55 && mbr[511] == 0xAA && mbr[446 + 4] != 0;
}

// A real disk's restart: Linux reads its new partition table, and the
// first partition's node is there before the volume is looked at.
void reread_real_disk(const Disk &disk) {
  using namespace std::chrono_literals;
  std::string name = disk.config.image.filename().string();
  std::filesystem::path partition =
      disk.config.image.parent_path() / partition_name(name, 1);
  reread_partition_table(disk.config.image, partition,
                         has_first_partition(disk) ? 10000ms : 0ms);
}

void start(Machine &machine, Disk &disk) {
  if (disk.node_enabled)
    return;
  disk.node_enabled = true;
  if (disk.config.block_device)
    reread_real_disk(disk);
  if (disk.config.behaviour != NodeBehaviour::Problem)
    machine.mount(disk); // no valid file system: no volume, drive not ready
}

void stop(Machine &machine, Disk &disk) {
  if (!disk.node_enabled)
    return;
  if (disk.mounted)
    machine.dismount(disk);
  disk.node_enabled = false;
}

// Carries out the stored property change as the device manager would.
bool change_state(Element &element) {
  if (!element.params)
    return fail(ERROR_NO_CLASSINSTALL_PARAMS);
  Machine &machine = Machine::current();
  std::lock_guard guard(machine.lock());
  Disk *disk = disk_of(machine, element.devinst);
  if (!present(disk))
    return fail(ERROR_NO_SUCH_DEVINST);

  const SP_PROPCHANGE_PARAMS &params = *element.params;
  bool stopping =
      params.StateChange == DICS_DISABLE || params.StateChange == DICS_STOP;
  // A node that cannot be stopped now, or whose volume another program
  // holds open, keeps running until the machine restarts.
  if (disk->config.behaviour == NodeBehaviour::NeedsRestart ||
      (stopping && disk->held_open)) {
    element.install_flags |= DI_NEEDRESTART;
    return true;
  }
  switch (params.StateChange) {
  case DICS_ENABLE:
    // Enabling in all profiles leaves a node disabled in this one as it is.
    if (params.Scope != DICS_FLAG_GLOBAL)
      start(machine, *disk);
    break;
  case DICS_START:
    start(machine, *disk);
    break;
  case DICS_DISABLE:
  case DICS_STOP:
    if (disk->config.behaviour != NodeBehaviour::ResistsDisable)
      stop(machine, *disk);
    break;
  case DICS_PROPCHANGE:
    if (disk->node_enabled) {
      stop(machine, *disk);
      start(machine, *disk);
    }
    break;
  default:
    return fail(ERROR_INVALID_PARAMETER);
  }
  return true;
}

Status node_status(const Disk &disk) {
  constexpr ULONG kPresent = DN_DRIVER_LOADED | DN_DISABLEABLE | DN_REMOVABLE;
  if (!disk.node_enabled)
    return {kPresent | DN_HAS_PROBLEM, CM_PROB_DISABLED};
  if (disk.config.behaviour == NodeBehaviour::Problem)
    return {kPresent | DN_HAS_PROBLEM, CM_PROB_FAILED_START};
  return {kPresent | DN_STARTED, 0};
}

} // namespace

HDEVINFO SetupDiCreateDeviceInfoListExA(const GUID *, HWND, PCSTR MachineName,
                                        PVOID Reserved) {
  if (injected_fault("SetupDiCreateDeviceInfoListExA"))
    return INVALID_HANDLE_VALUE;
  if (Reserved || (MachineName && *MachineName)) // only the local machine
    return fail(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
  auto *set = new InfoSet;
  std::lock_guard guard(state);
  live_sets.insert(set);
  return set;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  auto *set = static_cast<InfoSet *>(DeviceInfoSet);
  {
    std::lock_guard guard(state);
    if (!live_sets.erase(set))
      return fail(ERROR_INVALID_HANDLE);
  }
  delete set;
  return TRUE;
}

BOOL SetupDiOpenDeviceInfoA(HDEVINFO DeviceInfoSet, PCSTR DeviceInstanceId,
                            HWND, DWORD OpenFlags,
                            PSP_DEVINFO_DATA DeviceInfoData) {
  InfoSet *set = set_of(DeviceInfoSet);
  if (!set)
    return fail(ERROR_INVALID_HANDLE);
  if (injected_fault("SetupDiOpenDeviceInfoA"))
    return FALSE;
  if (!DeviceInstanceId || OpenFlags & ~DWORD(0x3))
    return fail(ERROR_INVALID_PARAMETER);
  {
    std::lock_guard guard(state);
    calls.push_back({PnpCall::Open, 0, 0, DeviceInstanceId});
  }
  if (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
    return fail(ERROR_INVALID_USER_BUFFER);

  Machine &machine = Machine::current();
  std::lock_guard guard(machine.lock());
  // Instance identifiers compare without regard to case.
  std::string id = upper(DeviceInstanceId);
  Disk *disk = nullptr;
  for (Disk &candidate : machine.disks())
    if (upper(candidate.pnp_id) == id &&
        candidate.config.behaviour != NodeBehaviour::UnknownId)
      disk = &candidate;
  if (!disk)
    return fail(ERROR_NO_SUCH_DEVINST);

  DEVINST devinst = devinst_of(*disk);
  auto found = std::find_if(set->elements.begin(), set->elements.end(),
                            [&](const Element &e) { return e.devinst == devinst; });
  if (found == set->elements.end())
    set->elements.push_back({devinst, disk->pnp_id, std::nullopt, 0});
  if (DeviceInfoData) {
    DeviceInfoData->ClassGuid = kDiskDriveClass;
    DeviceInfoData->DevInst = devinst;
    DeviceInfoData->Reserved = 0;
  }
  return TRUE;
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                           PSP_DEVINFO_DATA DeviceInfoData) {
  InfoSet *set = set_of(DeviceInfoSet);
  if (!set)
    return fail(ERROR_INVALID_HANDLE);
  if (!DeviceInfoData || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
    return fail(ERROR_INVALID_USER_BUFFER);
  if (MemberIndex >= set->elements.size())
    return fail(ERROR_NO_MORE_ITEMS);
  DeviceInfoData->ClassGuid = kDiskDriveClass;
  DeviceInfoData->DevInst = set->elements[MemberIndex].devinst;
  DeviceInfoData->Reserved = 0;
  return TRUE;
}

BOOL SetupDiGetDeviceInfoListDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVINFO_LIST_DETAIL_DATA_A detail) {
  if (!set_of(DeviceInfoSet))
    return fail(ERROR_INVALID_HANDLE);
  if (!detail || detail->cbSize != sizeof(SP_DEVINFO_LIST_DETAIL_DATA_A))
    return fail(ERROR_INVALID_USER_BUFFER);
  if (injected_fault("SetupDiGetDeviceInfoListDetailA"))
    return FALSE;
  std::memset(&detail->ClassGuid, 0, sizeof detail->ClassGuid);
  detail->RemoteMachineHandle = nullptr; // the local machine
  detail->RemoteMachineName[0] = '\0';
  return TRUE;
}

BOOL SetupDiSetClassInstallParamsA(HDEVINFO DeviceInfoSet,
                                   PSP_DEVINFO_DATA DeviceInfoData,
                                   PSP_CLASSINSTALL_HEADER header,
                                   DWORD size) {
  Element *element = element_of(DeviceInfoSet, DeviceInfoData);
  if (!element)
    return FALSE;
  if (!header) { // clears the parameters
    element->params.reset();
    return TRUE;
  }
  if (header->cbSize != sizeof(SP_CLASSINSTALL_HEADER) ||
      header->InstallFunction != DIF_PROPERTYCHANGE ||
      size != sizeof(SP_PROPCHANGE_PARAMS))
    return fail(ERROR_INVALID_PARAMETER);
  auto *params = reinterpret_cast<SP_PROPCHANGE_PARAMS *>(header);
  bool known_scope = params->Scope == DICS_FLAG_GLOBAL ||
                     params->Scope == DICS_FLAG_CONFIGSPECIFIC;
  if (!known_scope || params->StateChange < DICS_ENABLE ||
      params->StateChange > DICS_STOP)
    return fail(ERROR_INVALID_FLAGS);
  if (injected_fault("SetupDiSetClassInstallParamsA"))
    return FALSE;
  element->params = *params;
  record(PnpCall::SetParams, *element);
  return TRUE;
}

BOOL SetupDiCallClassInstaller(DI_FUNCTION InstallFunction,
                               HDEVINFO DeviceInfoSet,
                               PSP_DEVINFO_DATA DeviceInfoData) {
  Element *element = element_of(DeviceInfoSet, DeviceInfoData);
  if (!element)
    return FALSE;
  if (InstallFunction != DIF_PROPERTYCHANGE)
    return fail(ERROR_DI_DO_DEFAULT);
  record(PnpCall::ClassInstaller, *element);
  if (injected_fault("SetupDiCallClassInstaller"))
    return FALSE;
  return change_state(*element);
}

BOOL SetupDiChangeState(HDEVINFO DeviceInfoSet,
                        PSP_DEVINFO_DATA DeviceInfoData) {
  Element *element = element_of(DeviceInfoSet, DeviceInfoData);
  if (!element)
    return FALSE;
  record(PnpCall::ChangeState, *element);
  if (injected_fault("SetupDiChangeState"))
    return FALSE;
  return change_state(*element);
}

BOOL SetupDiGetDeviceInstallParamsA(HDEVINFO DeviceInfoSet,
                                    PSP_DEVINFO_DATA DeviceInfoData,
                                    PSP_DEVINSTALL_PARAMS_A params) {
  Element *element = element_of(DeviceInfoSet, DeviceInfoData);
  if (!element)
    return FALSE;
  if (!params || params->cbSize != sizeof(SP_DEVINSTALL_PARAMS_A))
    return fail(ERROR_INVALID_USER_BUFFER);
  if (injected_fault("SetupDiGetDeviceInstallParamsA"))
    return FALSE;
  std::memset(reinterpret_cast<char *>(params) + sizeof params->cbSize, 0,
              sizeof *params - sizeof params->cbSize);
  params->Flags = element->install_flags;
  return TRUE;
}

CONFIGRET CM_Get_DevNode_Status_Ex(PULONG pulStatus, PULONG pulProblemNumber,
                                   DEVINST dnDevInst, ULONG ulFlags,
                                   HMACHINE hMachine) {
  if (!pulStatus || !pulProblemNumber)
    return CR_INVALID_POINTER;
  if (ulFlags)
    return CR_INVALID_FLAG;
  if (hMachine) // only the local machine
    return CR_FAILURE;
  Machine &machine = Machine::current();
  if (auto code = machine.take_fault("CM_Get_DevNode_Status_Ex"))
    return *code;
  std::lock_guard guard(machine.lock());
  Disk *disk = disk_of(machine, dnDevInst);
  if (!present(disk))
    return CR_NO_SUCH_DEVINST;

  Status status = node_status(*disk);
  {
    std::lock_guard guard(state);
    auto found = overrides.find(upper(disk->pnp_id));
    if (found != overrides.end())
      status = found->second;
  }
  *pulStatus = status.bits;
  *pulProblemNumber = status.problem;
  return CR_SUCCESS;
}

namespace corvantix::emulation {

std::vector<PnpCall> pnp_calls() {
  std::lock_guard guard(state);
  return calls;
}

void override_node_status(const std::string &instance_id, std::uint32_t status,
                          std::uint32_t problem) {
  std::lock_guard guard(state);
  overrides[upper(instance_id)] = {status, problem};
}

std::size_t open_device_info_sets() {
  std::lock_guard guard(state);
  return live_sets.size();
}

void reset_pnp() {
  std::lock_guard guard(state);
  calls.clear();
  overrides.clear();
}

} // namespace corvantix::emulation
