#include "services/LaunchAtLoginController.h"
#include "platform/fake/FakeLoginItemService.h"

#include <gtest/gtest.h>

using namespace tesselwick;
using services::LaunchAtLoginController;
using services::LoginItemStatus;

TEST(LaunchAtLoginController, CallsThePlatformOnlyWhenTheStatusDisagrees) {
    struct Case {
        LoginItemStatus status;
        bool enable;
        int registers;
        int unregisters;
    };
    const Case cases[] = {
        {LoginItemStatus::enabled, true, 0, 0},          // already on
        {LoginItemStatus::requiresApproval, true, 0, 0}, // on, waiting for the user
        {LoginItemStatus::notRegistered, true, 1, 0},
        {LoginItemStatus::notFound, true, 1, 0},
        {LoginItemStatus::notRegistered, false, 0, 0}, // already off
        {LoginItemStatus::enabled, false, 0, 1},
        {LoginItemStatus::requiresApproval, false, 0, 1},
        {LoginItemStatus::notFound, false, 0, 1}, // a stale registration is still removed
    };
    for (const Case& c : cases) {
        platform::fake::FakeLoginItemService service;
        service.currentStatus = c.status;
        LaunchAtLoginController controller(service);
        controller.setEnabled(c.enable);
        EXPECT_EQ(service.registerCalls, c.registers) << static_cast<int>(c.status) << c.enable;
        EXPECT_EQ(service.unregisterCalls, c.unregisters) << static_cast<int>(c.status) << c.enable;
    }
}

TEST(LaunchAtLoginController, PassesThePlatformErrorOn) {
    platform::fake::FakeLoginItemService service;
    service.registerError = "Operation not permitted";
    LaunchAtLoginController controller(service);
    try {
        controller.setEnabled(true);
        FAIL() << "no error";
    } catch (const DomainError& error) {
        EXPECT_STREQ(error.what(), "Operation not permitted");
    }
}
