#include "platform/linux/DBusFileBrowser.h"

#include <gtest/gtest.h>

#include <future>

using tesselwick::platform::linux_::DBusFileBrowser;
using tesselwick::platform::linux_::fileURL;

TEST(DBusFileBrowser, FolderURLsSurviveAnyName) {
    const std::pair<std::string, std::string> cases[] = {
        {"/Volumes/EFI", "file:///Volumes/EFI"},
        {"/Volumes/EFI 1", "file:///Volumes/EFI%201"},
        // Characters with a meaning in URLs, and bytes that are not ASCII.
        {"/Volumes/A#B?C%D", "file:///Volumes/A%23B%3FC%25D"},
        {"/Volumes/Caf\xC3\xA9", "file:///Volumes/Caf%C3%A9"},
    };
    for (const auto& [path, url] : cases) {
        EXPECT_EQ(fileURL(path), url);
    }
}

TEST(DBusFileBrowser, NoBusIsADescribedFailure) {
    DBusFileBrowser browser("unix:path=/nonexistent/tesselwick-test-bus");
    std::promise<std::optional<std::string>> answer;
    browser.openFolder("/Volumes/EFI", [&](std::optional<std::string> error) {
        answer.set_value(std::move(error));
    });
    auto result = answer.get_future();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const std::optional<std::string> error = result.get();
    ASSERT_TRUE(error.has_value());
    EXPECT_FALSE(error->empty());
    EXPECT_TRUE(browser.waitUntilIdle(tesselwick::Seconds(5)));
}
