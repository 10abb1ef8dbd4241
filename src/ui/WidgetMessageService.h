#pragma once

#include "platform/MessageService.h"

#include <memory>

class QMessageBox;

namespace kestrune {

// The window's message boxes: a box of the toolkit, shown on the GUI thread whichever thread
// asks, with the style's icon and buttons.
class WidgetMessageService final : public platform::MessageService {
public:
    int show(const platform::MessageRequest& request) override;
};

// The box the window's service shows for a request, not yet shown.
std::unique_ptr<QMessageBox> makeMessageBox(const platform::MessageRequest& request);

} // namespace kestrune
