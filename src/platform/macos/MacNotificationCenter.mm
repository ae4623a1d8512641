// Written from Apple's documentation of UNUserNotificationCenter
// (+currentNotificationCenter, -getNotificationSettingsWithCompletionHandler:,
// -requestAuthorizationWithOptions:completionHandler:,
// -addNotificationRequest:withCompletionHandler:, whose handlers may run on a
// background thread; delegate, held weakly and to be set before the
// application finishes launching), UNUserNotificationCenterDelegate
// (-userNotificationCenter:willPresentNotification:withCompletionHandler:),
// UNNotificationPresentationOptionBanner (macOS 11), UNNotificationSettings
// (authorizationStatus; the ephemeral status does not exist on macOS),
// UNMutableNotificationContent and UNNotificationRequest
// (+requestWithIdentifier:content:trigger:). Compiled with ARC.
#include "platform/macos/MacPlatform.h"

#include <optional>
#include <string>
#include <utility>

#import <Foundation/Foundation.h>
#import <UserNotifications/UserNotifications.h>

// Notifications appear while the application is frontmost too: as a banner
// only, with no sound, no entry in the list and no badge.
@interface TesselwickNotificationPresenter : NSObject <UNUserNotificationCenterDelegate>
@end

@implementation TesselwickNotificationPresenter
- (void)userNotificationCenter:(UNUserNotificationCenter*)center
       willPresentNotification:(UNNotification*)notification
         withCompletionHandler:(void (^)(UNNotificationPresentationOptions))completionHandler {
    (void)center;
    (void)notification;
    completionHandler(UNNotificationPresentationOptionBanner);
}
@end

namespace tesselwick::platform::macos {

namespace {

using services::NotificationAuthorizationStatus;

constexpr const char* kNoApplicationBundle =
    "Notifications need Tesselwick to run from its application bundle; this process was started "
    "outside one.";

NSString* toNSString(const std::string& text) {
    // Invalid UTF-8 gives nil; show an empty text rather than fail the request.
    NSString* converted = [[NSString alloc] initWithBytes:text.data()
                                                   length:text.size()
                                                 encoding:NSUTF8StringEncoding];
    return converted != nil ? converted : @"";
}

std::optional<std::string> describe(NSError* error) {
    if (error == nil) {
        return std::nullopt;
    }
    const char* message = error.localizedDescription.UTF8String;
    return std::string(message != nullptr ? message : "");
}

// The centre of this process, or nil where the system keeps none: for a
// process outside an application bundle +currentNotificationCenter raises an
// Objective-C exception, which would end the process, instead of answering.
UNUserNotificationCenter* applicationCenter() {
    NSBundle* bundle = NSBundle.mainBundle;
    if (bundle.bundleIdentifier == nil ||
        ![bundle.bundleURL.pathExtension isEqualToString:@"app"]) {
        return nil;
    }
    @try {
        return UNUserNotificationCenter.currentNotificationCenter;
    } @catch (NSException* exception) {
        (void)exception;
        return nil;
    }
}

NotificationAuthorizationStatus toStatus(UNAuthorizationStatus status) {
    switch (status) {
    case UNAuthorizationStatusNotDetermined:
        return NotificationAuthorizationStatus::notDetermined;
    case UNAuthorizationStatusAuthorized:
        return NotificationAuthorizationStatus::authorized;
    case UNAuthorizationStatusProvisional:
        return NotificationAuthorizationStatus::provisional;
    case UNAuthorizationStatusDenied:
    default:
        return NotificationAuthorizationStatus::denied;
    }
}

class MacNotificationCenter final : public services::NotificationCenter {
public:
    explicit MacNotificationCenter(std::shared_ptr<PendingAnswers> answers)
        : answers_(std::move(answers)), center_(applicationCenter()) {
        if (center_ != nil) {
            presenter_ = [[TesselwickNotificationPresenter alloc] init];
            center_.delegate = presenter_;
        }
    }

    ~MacNotificationCenter() override {
        answers_->close();
        if (center_ != nil && center_.delegate == presenter_) {
            center_.delegate = nil;
        }
    }

    MacNotificationCenter(const MacNotificationCenter&) = delete;
    MacNotificationCenter& operator=(const MacNotificationCenter&) = delete;

    void getNotificationSettings(
        std::function<void(NotificationAuthorizationStatus)> completion) override {
        if (center_ == nil) {
            completion(NotificationAuthorizationStatus::denied);
            return;
        }
        std::shared_ptr<PendingAnswers> answers = answers_;
        answers->begin();
        [center_ getNotificationSettingsWithCompletionHandler:^(UNNotificationSettings* settings) {
          const NotificationAuthorizationStatus status = toStatus(settings.authorizationStatus);
          answers->finish([&] { completion(status); });
        }];
    }

    void requestAuthorization(
        std::function<void(bool, std::optional<std::string>)> completion) override {
        if (center_ == nil) {
            completion(false, std::string(kNoApplicationBundle));
            return;
        }
        std::shared_ptr<PendingAnswers> answers = answers_;
        answers->begin();
        [center_ requestAuthorizationWithOptions:UNAuthorizationOptionAlert
                               completionHandler:^(BOOL granted, NSError* error) {
                                 const std::optional<std::string> failure = describe(error);
                                 answers->finish([&] { completion(granted == YES, failure); });
                               }];
    }

    void add(services::NotificationRequest request,
             std::function<void(std::optional<std::string>)> completion) override {
        if (center_ == nil) {
            completion(std::string(kNoApplicationBundle));
            return;
        }
        UNMutableNotificationContent* content = [[UNMutableNotificationContent alloc] init];
        content.title = toNSString(request.title);
        content.body = toNSString(request.body);
        UNNotificationRequest* notification =
            [UNNotificationRequest requestWithIdentifier:toNSString(request.identifier)
                                                 content:content
                                                 trigger:nil];
        std::shared_ptr<PendingAnswers> answers = answers_;
        answers->begin();
        [center_ addNotificationRequest:notification
                  withCompletionHandler:^(NSError* error) {
                    const std::optional<std::string> failure = describe(error);
                    answers->finish([&] { completion(failure); });
                  }];
    }

private:
    std::shared_ptr<PendingAnswers> answers_;
    UNUserNotificationCenter* center_ = nil;
    // The centre holds its delegate weakly; this keeps it alive.
    TesselwickNotificationPresenter* presenter_ = nil;
};

} // namespace

std::unique_ptr<services::NotificationCenter>
makeNotificationCenter(std::shared_ptr<PendingAnswers> answers) {
    return std::make_unique<MacNotificationCenter>(std::move(answers));
}

} // namespace tesselwick::platform::macos
