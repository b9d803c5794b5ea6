// What tests see of the emulated Plug-and-Play services: the state changes
// requested of them, status overrides, and the sets still open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvantix::emulation {

/// One device opened into a set, or one state change stored or carried out
/// on a device node.
struct PnpCall {
  enum Kind { Open, SetParams, ClassInstaller, ChangeState } kind;
  std::uint32_t state_change = 0; ///< DICS_* of the stored parameters
  std::uint32_t scope = 0;        ///< DICS_FLAG_*
  std::string instance_id; ///< as asked for, for Open
  bool operator==(const PnpCall &) const = default;
};

/// The calls since the last reset, in order.
std::vector<PnpCall> pnp_calls();

/// Makes CM_Get_DevNode_Status_Ex report these bits and this problem for
/// the node (until reset), whatever state the node is in.
void override_node_status(const std::string &instance_id, std::uint32_t status,
                          std::uint32_t problem);

/// Device information sets created and not yet destroyed.
std::size_t open_device_info_sets();

/// Forgets the call log and every override.
void reset_pnp();

} // namespace corvantix::emulation
