#include "ui/about_window.h"

#include "strings/res.h"

#include <algorithm>
#include <cctype>

namespace corvantix {
namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
    return static_cast<char>(std::tolower(c));
  });
  return text;
}

bool is_scheme(const std::string &text) {
  if (text.empty() || !std::isalpha(static_cast<unsigned char>(text[0])))
    return false;
  return std::all_of(text.begin(), text.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '+' || c == '-' || c == '.';
  });
}

// The host of an authority: no user information, no port.
std::string host_of(std::string authority) {
  std::size_t at = authority.rfind('@');
  if (at != std::string::npos)
    authority.erase(0, at + 1);
  if (authority.empty())
    return authority;
  std::size_t end = authority[0] == '['
                        ? authority.find(']') + 1 // 0 when unterminated
                        : authority.find(':');
  if (end != 0 && end != std::string::npos)
    authority.resize(end);
  return lower(authority);
}

} // namespace

Address parse_address(const std::string &address) {
  Address parts;
  std::size_t colon = address.find(':');
  if (colon == std::string::npos || !is_scheme(address.substr(0, colon)))
    return parts;
  parts.scheme = lower(address.substr(0, colon));
  std::string rest = address.substr(colon + 1);
  rest.resize(std::min(rest.find_first_of("?#"), rest.size()));
  if (rest.starts_with("//")) {
    std::size_t slash = std::min(rest.find('/', 2), rest.size());
    if (slash > 2)
      parts.host = host_of(rest.substr(2, slash - 2));
    rest.erase(0, slash);
    if (rest.empty())
      rest = "/";
  }
  parts.path = rest;
  return parts;
}

frmAbout::frmAbout(Toolkit &toolkit)
    : view_(toolkit.create_about_view(*this)) {}

void frmAbout::frmAbout_Load() {
  view_->set_title(Res::get("UI_ABOUT"));
  view_->set_page(Res::get("/doc"));
}

bool frmAbout::webBrowser1_Navigating(const std::string &address) {
  Address target = parse_address(address);
  if (target.scheme == "about" || target.host != page_host)
    return false;
  view_->set_page(Res::get(target.path));
  return true;
}

} // namespace corvantix
