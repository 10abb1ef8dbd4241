#pragma once

#include "platform/MessageService.h"

namespace kestrune {

// The window's message boxes: a box of the toolkit, shown on the GUI thread whichever thread
// asks, with the style's icon and buttons.
class WidgetMessageService final : public platform::MessageService {
public:
    int show(const platform::MessageRequest& request) override;
};

} // namespace kestrune
