#include "services/LaunchAtLoginController.h"
#include "doubles/FakeLoginItemService.h"

#include <gtest/gtest.h>

using namespace tesselwick;
using services::LaunchAtLoginController;
using services::LoginItemStatus;

TEST(LaunchAtLoginController, LeavesTheItemInTheAskedState) {
    struct Case {
        LoginItemStatus before;
        bool enable;
        LoginItemStatus after;
    };
    const Case cases[] = {
        // waiting for the user's approval counts as on: not registered again
        {LoginItemStatus::requiresApproval, true, LoginItemStatus::requiresApproval},
        {LoginItemStatus::notRegistered, true, LoginItemStatus::enabled},
        {LoginItemStatus::notFound, true, LoginItemStatus::enabled},
        {LoginItemStatus::enabled, false, LoginItemStatus::notRegistered},
        {LoginItemStatus::requiresApproval, false, LoginItemStatus::notRegistered},
        // a stale registration the service cannot find is still removed
        {LoginItemStatus::notFound, false, LoginItemStatus::notRegistered},
    };
    for (const Case& c : cases) {
        platform::fake::FakeLoginItemService service;
        service.currentStatus = c.before;
        LaunchAtLoginController(service).setEnabled(c.enable);
        EXPECT_EQ(service.currentStatus, c.after) << static_cast<int>(c.before) << c.enable;
    }
}
