#include "platform/macos/MacPlatform.h"

#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>

namespace tesselwick::platform::macos {
namespace {

// Opens folders with the shared workspace, which hands them to Finder and
// brings it to the front.
class WorkspaceFileBrowser final : public services::FileBrowser {
public:
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
            __block Completion done = std::move(completion);
            [[NSWorkspace sharedWorkspace]
                          openURL:url
                    configuration:configuration
                completionHandler:^(NSRunningApplication* application, NSError* error) {
                  (void)application;
                  if (error != nil) {
                      const char* description = error.localizedDescription.UTF8String;
                      done(std::string(description != nullptr ? description : "Unknown error"));
                  } else {
                      done(std::nullopt);
                  }
                }];
        }
    }
};

} // namespace

std::shared_ptr<services::FileBrowser> makeFileBrowser() {
    return std::make_shared<WorkspaceFileBrowser>();
}

} // namespace tesselwick::platform::macos
