// A toolkit that records message boxes and answers them from the test.
#pragma once

#include "ui/toolkit.h"

#include <deque>
#include <string>
#include <vector>

namespace corvantix::test {

class RecordingToolkit : public Toolkit {
public:
  struct Box {
    std::string text;
    std::string title;
    Buttons buttons;
  };

  std::vector<Box> boxes;
  std::deque<Answer> answers; ///< answers for Yes/No boxes, in order
  bool styles_enabled = false;

  void enable_visual_styles() override { styles_enabled = true; }
  Answer message_box(const std::string &text, const std::string &title,
                     Buttons buttons) override {
    boxes.push_back({text, title, buttons});
    if (buttons == Buttons::Ok)
      return Answer::Ok;
    Answer answer = answers.empty() ? Answer::No : answers.front();
    if (!answers.empty())
      answers.pop_front();
    return answer;
  }
};

} // namespace corvantix::test
