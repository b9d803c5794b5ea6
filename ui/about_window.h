// frmAbout, the about and documentation window: an HTML view that shows the
// documentation pages of the language table and follows their links.
#pragma once

#include "ui/toolkit.h"
#include "ui/view.h"

#include <memory>
#include <string>

namespace corvantix {

/// The host of the pages' internal addresses, "http://cxpages/doc" and so
/// on. A single label: it names no machine that could be reached.
inline constexpr const char page_host[] = "cxpages";

/// The parts of an address that the navigation rule looks at.
struct Address {
  std::string scheme; ///< lower case, without the ":"
  std::string host;   ///< lower case; empty without an authority
  std::string path;   ///< without query and fragment
};

/// Splits an absolute address; an address without a scheme has none.
Address parse_address(const std::string &address);

class frmAbout : public AboutEvents {
public:
  /// Builds the window over a new view of `toolkit`; shows nothing yet.
  explicit frmAbout(Toolkit &toolkit);

  /// Title and first page, on first showing.
  void frmAbout_Load() override;
  /// Lets "about:" and outside addresses load; serves internal pages from
  /// the language table instead of loading them.
  bool webBrowser1_Navigating(const std::string &address) override;

  AboutView &view() { return *view_; }

private:
  std::unique_ptr<AboutView> view_;
};

} // namespace corvantix
