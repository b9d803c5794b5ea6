#pragma once

#include "ui/toolkit.h"

namespace corvantix {

class HostToolkit : public Toolkit {
public:
  void enable_visual_styles() override;
  Answer message_box(const std::string &text, const std::string &title,
                     Buttons buttons) override;
};

} // namespace corvantix
