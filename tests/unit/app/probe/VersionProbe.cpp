#include "app/SystemUtil.h"
#include "platform/MessageService.h"

#include <cstdio>

namespace {

// No GUI here: a box becomes a line on standard error.
class PrintedMessages final : public kestrune::platform::MessageService {
public:
    int show(const kestrune::platform::MessageRequest& request) override {
        std::fprintf(stderr, "box: %s\n", qPrintable(request.text));
        return kestrune::platform::ID_OK;
    }
};

} // namespace

int main() {
    PrintedMessages messages;
    kestrune::platform::setMessageService(&messages);
    std::printf("%s\n", qPrintable(kestrune::SystemUtil().GetProgramVersion()));
    kestrune::platform::setMessageService(nullptr);
    return 0;
}
