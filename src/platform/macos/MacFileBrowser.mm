// Written from Apple's documentation of NSWorkspace
// (-openURL:configuration:completionHandler:, whose handler AppKit runs on a
// concurrent queue, so a caller may block its own thread waiting for it),
// NSWorkspaceOpenConfiguration (activates) and NSFileManager
// (-fileExistsAtPath:isDirectory:). Compiled with ARC.
#include "platform/macos/MacPlatform.h"

#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>

#include <utility>

namespace tesselwick::platform::macos {
namespace {

// Opens folders with the shared workspace, which hands them to Finder and
// brings it to the front.
class WorkspaceFileBrowser final : public services::FileBrowser {
public:
    explicit WorkspaceFileBrowser(std::shared_ptr<PendingAnswers> answers)
        : answers_(std::move(answers)) {}
    ~WorkspaceFileBrowser() override { answers_->close(); }
    WorkspaceFileBrowser(const WorkspaceFileBrowser&) = delete;
    WorkspaceFileBrowser& operator=(const WorkspaceFileBrowser&) = delete;

    bool isDirectory(const std::string& path) const override {
        @autoreleasepool {
            BOOL directory = NO;
            NSString* text = [NSString stringWithUTF8String:path.c_str()];
            return text != nil &&
                   [[NSFileManager defaultManager] fileExistsAtPath:text isDirectory:&directory] &&
                   directory;
        }
    }

    void openFolder(const std::string& path, Completion completion) override {
        @autoreleasepool {
            NSString* text = [NSString stringWithUTF8String:path.c_str()];
            if (text == nil) {
                completion(std::string("The path is not valid UTF-8."));
                return;
            }
            NSURL* url = [NSURL fileURLWithPath:text isDirectory:YES];
            NSWorkspaceOpenConfiguration* configuration =
                [NSWorkspaceOpenConfiguration configuration];
            configuration.activates = YES;
            // The block keeps its own copies of both.
            std::shared_ptr<PendingAnswers> answers = answers_;
            Completion done = std::move(completion);
            answers->begin();
            [[NSWorkspace sharedWorkspace]
                          openURL:url
                    configuration:configuration
                completionHandler:^(NSRunningApplication* application, NSError* error) {
                  (void)application;
                  std::optional<std::string> failure;
                  if (error != nil) {
                      const char* description = error.localizedDescription.UTF8String;
                      failure = std::string(description != nullptr ? description : "Unknown error");
                  }
                  answers->finish([&] { done(failure); });
                }];
        }
    }

private:
    std::shared_ptr<PendingAnswers> answers_;
};

} // namespace

std::shared_ptr<services::FileBrowser> makeFileBrowser(std::shared_ptr<PendingAnswers> answers) {
    return std::make_shared<WorkspaceFileBrowser>(std::move(answers));
}

} // namespace tesselwick::platform::macos
