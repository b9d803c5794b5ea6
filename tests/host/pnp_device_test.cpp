// Plug-and-Play control against the emulated machine's device nodes.
#include "platform/filesystem.h"
#include "device/pnp_device.h"

#include "emulated_machine.h"

#include <algorithm>

namespace corvantix {
namespace {

using emulation::NodeBehaviour;
using emulation::PnpCall;

class PnpDeviceTest : public test::EmulatedMachineTest {
protected:
  // State changes asked of the node, as "D" (disable), "E" (enable) and
  // "e" (the global enable pass), in order.
  static std::string changes() {
    std::string seen;
    for (const PnpCall &call : emulation::pnp_calls())
      if (call.kind == PnpCall::SetParams)
        seen += call.state_change == DICS_DISABLE ? 'D'
                : call.scope == DICS_FLAG_GLOBAL  ? 'e'
                                                  : 'E';
    return seen;
  }

  static std::size_t count(PnpCall::Kind kind) {
    auto calls = emulation::pnp_calls();
    return std::count_if(calls.begin(), calls.end(),
                         [&](const PnpCall &c) { return c.kind == kind; });
  }

  static std::size_t sleeps() { return emulation::sleep_calls(); }
  static std::uint64_t slept() { return emulation::slept_milliseconds(); }
};

TEST_F(PnpDeviceTest, UnknownIdentifierFailsAtOnceAndRefreshStillEnables) {
  one_stick(NodeBehaviour::UnknownId);
  CPNPDevice device(emulation::Machine::current().disks()[0].pnp_id.c_str());
  EXPECT_EQ(device.GetStatus(), PrivateProblem);
  EXPECT_EQ(device.Disable(), PrivateProblem);
  EXPECT_EQ(sleeps(), 0u);

  emulation::reset_pnp();
  EXPECT_EQ(device.Refresh(), PrivateProblem);
  // Disable, then Enable's change and its fresh status read.
  EXPECT_EQ(count(PnpCall::Open), 3u);
  EXPECT_EQ(sleeps(), 0u);

  CPNPDevice nowhere("USBSTOR\\DISK&VEN_NONE&PROD_NONE\\0");
  EXPECT_EQ(nowhere.Refresh(), PrivateProblem);
}

TEST_F(PnpDeviceTest, DeviceThatStopsAtOnceIsRefreshedWithOneAttempt) {
  emulation::Disk &disk = one_stick(NodeBehaviour::Normal);
  CPNPDevice device(disk.pnp_id.c_str());
  EXPECT_EQ(device.GetStatus(), Started);

  EXPECT_EQ(device.Disable(), Disabled);
  EXPECT_FALSE(disk.node_enabled);
  EXPECT_EQ(device.GetStatus(), Disabled);
  EXPECT_EQ(changes(), "D");
  EXPECT_EQ(sleeps(), 0u);

  EXPECT_EQ(device.Enable(), Started);
  EXPECT_TRUE(disk.node_enabled);
  EXPECT_EQ(changes(), "DeE"); // the global pass comes first

  emulation::reset_pnp();
  EXPECT_EQ(device.Refresh(), Started);
  EXPECT_EQ(changes(), "DeE");
  EXPECT_EQ(sleeps(), 1u);
  EXPECT_EQ(slept(), 2000u);
  EXPECT_TRUE(disk.node_enabled);
}

TEST_F(PnpDeviceTest, InstanceIdentifiersCompareWithoutCase) {
  emulation::Disk &disk = one_stick(NodeBehaviour::Normal);
  std::string lower = disk.pnp_id;
  std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
  EXPECT_EQ(CPNPDevice(lower.c_str()).Disable(), Disabled);
}

TEST_F(PnpDeviceTest, DeviceThatStaysStartedGetsElevenAttempts) {
  emulation::Disk &disk = one_stick(NodeBehaviour::ResistsDisable);
  CPNPDevice device(disk.pnp_id.c_str());
  EXPECT_EQ(device.Disable(), Started);
  EXPECT_EQ(changes(), std::string(11, 'D')); // no enable in between
  EXPECT_EQ(sleeps(), 10u);
  EXPECT_EQ(slept(), 10000u);

  emulation::reset_pnp();
  emulation::reset_sleep_count();
  EXPECT_EQ(device.Refresh(), PrivateProblem);
  EXPECT_EQ(changes(), std::string(11, 'D') + "eE");
  EXPECT_EQ(slept(), 10000u); // no final wait after a failure
}

TEST_F(PnpDeviceTest, RestartNeededOnEveryAttemptReEnablesBeforeEachRetry) {
  emulation::Disk &disk = one_stick(NodeBehaviour::NeedsRestart);
  CPNPDevice device(disk.pnp_id.c_str());
  EXPECT_EQ(device.Disable(), NeedsReboot);
  std::string expected = "D";
  for (int retry = 0; retry < 10; ++retry)
    expected += "eED";
  EXPECT_EQ(changes(), expected);
  EXPECT_EQ(sleeps(), 10u);
  EXPECT_EQ(device.Refresh(), PrivateProblem);
}

TEST_F(PnpDeviceTest, VolumeHeldOpenMakesTheDisableWaitForARestart) {
  emulation::Disk &disk = one_stick(NodeBehaviour::Normal);
  disk.held_open = true;
  EXPECT_EQ(CPNPDevice(disk.pnp_id.c_str()).Disable(), NeedsReboot);
  EXPECT_TRUE(disk.node_enabled);
}

TEST_F(PnpDeviceTest, PhantomAndUnreadableStatus) {
  emulation::Disk &phantom = one_stick(NodeBehaviour::Phantom);
  CPNPDevice device(phantom.pnp_id.c_str());
  EXPECT_EQ(device.GetStatus(), Phantom);
  EXPECT_EQ(device.Disable(), PrivateProblem); // the change is refused
  emulation::reset_pnp();
  EXPECT_EQ(device.Refresh(), PrivateProblem);
  EXPECT_EQ(changes(), "DeE") << "Refresh must still try to enable";

  install({stick("ok")});
  auto &machine = emulation::Machine::current();
  CPNPDevice ok(machine.disks()[0].pnp_id.c_str());
  machine.fail_call("SetupDiGetDeviceInfoListDetailA", ERROR_INVALID_HANDLE);
  EXPECT_EQ(ok.GetStatus(), StatusError);
  machine.fail_call("CM_Get_DevNode_Status_Ex", CR_FAILURE);
  EXPECT_EQ(ok.GetStatus(), StatusError);
  machine.fail_call("CM_Get_DevNode_Status_Ex", CR_NO_SUCH_VALUE);
  EXPECT_EQ(ok.GetStatus(), Phantom);
  machine.fail_call("CM_Get_DevNode_Status_Ex", CR_NO_SUCH_DEVINST);
  EXPECT_EQ(ok.GetStatus(), Phantom);
  EXPECT_EQ(ok.GetStatus(), Started);
  // A status error after the change ends the disable without a retry.
  machine.fail_call("CM_Get_DevNode_Status_Ex", CR_FAILURE);
  EXPECT_EQ(ok.Disable(), StatusError);
  EXPECT_EQ(sleeps(), 0u);
}

TEST_F(PnpDeviceTest, NodeWithAProblemDisablesButDoesNotStart) {
  emulation::Disk &disk = one_stick(NodeBehaviour::Problem);
  CPNPDevice device(disk.pnp_id.c_str());
  EXPECT_EQ(device.GetStatus(), Problem);
  EXPECT_EQ(device.Disable(), Disabled);
  EXPECT_EQ(device.Enable(), Problem);
  EXPECT_EQ(device.Refresh(), PrivateProblem);
}

TEST_F(PnpDeviceTest, StatusBitsAreTestedProblemFirstThenPrivateThenStarted) {
  emulation::Disk &disk = one_stick(NodeBehaviour::Normal);
  CPNPDevice device(disk.pnp_id.c_str());
  struct {
    std::uint32_t bits, problem;
    int expected;
  } cases[] = {
      {DN_HAS_PROBLEM | DN_PRIVATE_PROBLEM, CM_PROB_DISABLED, Disabled},
      {DN_HAS_PROBLEM | DN_STARTED, CM_PROB_DISABLED, Disabled},
      {DN_HAS_PROBLEM | DN_STARTED | DN_PRIVATE_PROBLEM, CM_PROB_FAILED_START,
       Problem},
      {DN_HAS_PROBLEM, 0, Problem},
      {DN_PRIVATE_PROBLEM | DN_STARTED, CM_PROB_DISABLED, PrivateProblem},
      {DN_STARTED | DN_DRIVER_LOADED, CM_PROB_DISABLED, Started},
      {DN_DRIVER_LOADED, 0, NotStarted},
  };
  for (const auto &c : cases) {
    emulation::override_node_status(disk.pnp_id, c.bits, c.problem);
    EXPECT_EQ(device.GetStatus(), c.expected)
        << std::hex << c.bits << " problem " << c.problem;
  }
}

TEST_F(PnpDeviceTest, Wow64AppliesTheChangeWithChangeStateOthersTheInstaller) {
  emulation::Disk &disk = one_stick(NodeBehaviour::Normal);
  CPNPDevice device(disk.pnp_id.c_str());

  emulation::force_wow64(true);
  EXPECT_NE(IsWow64(), 0);
  EXPECT_EQ(device.Refresh(), Started);
  // Only the global enable pass goes to the class installer.
  EXPECT_EQ(count(PnpCall::ChangeState), 2u);
  EXPECT_EQ(count(PnpCall::ClassInstaller), 1u);

  emulation::reset_pnp();
  emulation::force_wow64(false);
  EXPECT_EQ(IsWow64(), 0);
  EXPECT_EQ(device.Refresh(), Started);
  EXPECT_EQ(count(PnpCall::ChangeState), 0u);
  EXPECT_EQ(count(PnpCall::ClassInstaller), 3u);
  EXPECT_NE(fnIsWow64Process, nullptr);

  // Without IsWow64Process the platform cannot tell: not WOW64.
  emulation::force_wow64(true);
  emulation::hide_is_wow64_process(true);
  EXPECT_EQ(IsWow64(), 0);
  EXPECT_EQ(fnIsWow64Process, nullptr);
}

TEST_F(PnpDeviceTest, GlobalEnablePassIsTriedFirstAndItsOutcomeIgnored) {
  emulation::Disk &disk = one_stick(NodeBehaviour::Normal);
  auto &machine = emulation::Machine::current();
  CPNPDevice device(disk.pnp_id.c_str());
  ASSERT_EQ(device.Disable(), Disabled);

  // The global parameters are refused: no installer call for them.
  emulation::reset_pnp();
  machine.fail_call("SetupDiSetClassInstallParamsA", ERROR_INVALID_PARAMETER);
  EXPECT_EQ(device.Enable(), Started);
  EXPECT_EQ(changes(), "E");
  EXPECT_EQ(count(PnpCall::ClassInstaller), 1u);

  ASSERT_EQ(device.Disable(), Disabled);
  emulation::reset_pnp();
  machine.fail_call("SetupDiCallClassInstaller", ERROR_ACCESS_DENIED);
  EXPECT_EQ(device.Enable(), Started);
  EXPECT_EQ(changes(), "eE");

  // Under WOW64 too.
  ASSERT_EQ(device.Disable(), Disabled);
  emulation::force_wow64(true);
  machine.fail_call("SetupDiCallClassInstaller", ERROR_ACCESS_DENIED);
  EXPECT_EQ(device.Enable(), Started);
}

TEST_F(PnpDeviceTest, FailedSetupStepsGiveTwoAndReleaseTheSet) {
  emulation::Disk &disk = one_stick(NodeBehaviour::Normal);
  auto &machine = emulation::Machine::current();
  CPNPDevice device(disk.pnp_id.c_str());

  machine.fail_call("SetupDiCreateDeviceInfoListExA", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(device.GetStatus(), PrivateProblem);
  machine.fail_call("SetupDiOpenDeviceInfoA", ERROR_NO_SUCH_DEVINST);
  EXPECT_EQ(device.Disable(), PrivateProblem);
  machine.fail_call("SetupDiSetClassInstallParamsA", ERROR_INVALID_PARAMETER);
  EXPECT_EQ(device.Disable(), PrivateProblem);
  machine.fail_call("SetupDiCallClassInstaller", ERROR_ACCESS_DENIED);
  EXPECT_EQ(device.Disable(), PrivateProblem);
  EXPECT_TRUE(disk.node_enabled);
  EXPECT_EQ(sleeps(), 0u);
  EXPECT_EQ(emulation::open_device_info_sets(), 0u);

  // Unreadable install parameters are no failure.
  machine.fail_call("SetupDiGetDeviceInstallParamsA", ERROR_INVALID_PARAMETER);
  EXPECT_EQ(device.Disable(), Disabled);
}

TEST_F(PnpDeviceTest, ControlPassCountsHandledDevicesAndReportsRestarts) {
  emulation::Disk &disk = one_stick(NodeBehaviour::NeedsRestart);
  CPNPDevice device(disk.pnp_id.c_str());
  GenericContext context = {0, DICS_DISABLE, 0};
  EXPECT_EQ(device.EnumerateDevice(DICS_DISABLE, &context), NeedsReboot);
  EXPECT_EQ(context.handled, 1u);
  EXPECT_EQ(context.reboot, 1);

  install({stick("normal")});
  CPNPDevice normal(emulation::Machine::current().disks()[0].pnp_id.c_str());
  context = {0, DICS_DISABLE, 0};
  EXPECT_EQ(normal.EnumerateDevice(DICS_DISABLE, &context), Disabled);
  EXPECT_EQ(context.handled, 1u);
  EXPECT_EQ(context.reboot, 0);
  // A query changes nothing and leaves the context alone.
  context = {0, DICS_ENABLE, 0};
  EXPECT_EQ(normal.EnumerateDevice(0, &context), Disabled);
  EXPECT_EQ(context.handled, 0u);
}

TEST_F(PnpDeviceTest, DisableDismountsAndEnableMountsTheVolume) {
  auto &machine = install({stick("shop", 'E', NodeBehaviour::Normal,
                                 64ull << 20, true)});
  emulation::Disk &disk = machine.disks()[0];
  ASSERT_TRUE(disk.mounted) << "the shop stick did not mount";
  CPNPDevice device(disk.pnp_id.c_str());
  ASSERT_EQ(device.Disable(), Disabled);
  EXPECT_FALSE(disk.mounted);
  EXPECT_FALSE(platform::native_file_system().volume_ready("E:\\"));
  ASSERT_EQ(device.Enable(), Started);
  EXPECT_TRUE(disk.mounted);
  EXPECT_EQ(platform::native_file_system().list_tree("E:\\").files.front(),
            "E:\\README.TXT");
  (void)machine;
}

} // namespace
} // namespace corvantix
