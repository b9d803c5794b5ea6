// The Plug-and-Play identity of an emulated disk's device node.
#include "platform/host/machine/disk_images.h"

#include <cctype>
#include <cstdio>

namespace corvantix::emulation {

namespace {

std::string upper_id(std::string text, std::size_t width) {
  text = text.substr(0, width);
  for (char &c : text)
    c = std::isalnum(static_cast<unsigned char>(c))
            ? char(std::toupper(static_cast<unsigned char>(c)))
            : '_';
  return text;
}

} // namespace

std::string pnp_id_for(const DiskConfig &config, int number) {
  std::string model = config.model;
  std::size_t space = model.find(' ');
  std::string vendor = space == std::string::npos ? model : model.substr(0, space);
  std::string product = space == std::string::npos ? "" : model.substr(space + 1);
  char serial[32];
  std::snprintf(serial, sizeof serial, "%08X", 0xC0DE0000u + unsigned(number));
  std::string type = upper_id(config.interface_type, 16);
  if (type == "USB")
    return "USBSTOR\\DISK&VEN_" + upper_id(vendor, 8) + "&PROD_" +
           upper_id(product, 16) + "&REV_1.00\\CVX" + serial + "&0";
  if (type == "IDE") {
    std::string name = upper_id(model, 40);
    name.resize(40, '_');
    return "IDE\\DISK" + name + "1.0_____\\5&" + serial + "&0&0.0." +
           std::to_string(number);
  }
  return type + "\\DISK&VEN_" + upper_id(vendor, 8) + "&PROD_" +
         upper_id(product, 16) + "\\4&" + serial + "&0&00000" +
         std::to_string(number);
}

} // namespace corvantix::emulation
