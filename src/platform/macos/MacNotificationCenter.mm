// Written from Apple's documentation of UNUserNotificationCenter
// (+currentNotificationCenter, -getNotificationSettingsWithCompletionHandler:,
// -requestAuthorizationWithOptions:completionHandler:,
// -addNotificationRequest:withCompletionHandler:), UNNotificationSettings
// (authorizationStatus; the ephemeral status does not exist on macOS),
// UNMutableNotificationContent and UNNotificationRequest
// (+requestWithIdentifier:content:trigger:). Compiled with ARC.
#include "platform/macos/MacPlatform.h"

#include <optional>
#include <string>

#import <Foundation/Foundation.h>
#import <UserNotifications/UserNotifications.h>

namespace tesselwick::platform::macos {

namespace {

using services::NotificationAuthorizationStatus;

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

class MacNotificationCenter final : public services::NotificationCenter {
public:
    void getNotificationSettings(
        std::function<void(NotificationAuthorizationStatus)> completion) override {
        [UNUserNotificationCenter.currentNotificationCenter
            getNotificationSettingsWithCompletionHandler:^(UNNotificationSettings* settings) {
              switch (settings.authorizationStatus) {
              case UNAuthorizationStatusNotDetermined:
                  completion(NotificationAuthorizationStatus::notDetermined);
                  break;
              case UNAuthorizationStatusAuthorized:
                  completion(NotificationAuthorizationStatus::authorized);
                  break;
              case UNAuthorizationStatusProvisional:
                  completion(NotificationAuthorizationStatus::provisional);
                  break;
              case UNAuthorizationStatusDenied:
              default:
                  completion(NotificationAuthorizationStatus::denied);
                  break;
              }
            }];
    }

    void requestAuthorization(
        std::function<void(bool, std::optional<std::string>)> completion) override {
        [UNUserNotificationCenter.currentNotificationCenter
            requestAuthorizationWithOptions:UNAuthorizationOptionAlert
                          completionHandler:^(BOOL granted, NSError* error) {
                            completion(granted == YES, describe(error));
                          }];
    }

    void add(services::NotificationRequest request,
             std::function<void(std::optional<std::string>)> completion) override {
        UNMutableNotificationContent* content = [[UNMutableNotificationContent alloc] init];
        content.title = toNSString(request.title);
        content.body = toNSString(request.body);
        UNNotificationRequest* notification =
            [UNNotificationRequest requestWithIdentifier:toNSString(request.identifier)
                                                 content:content
                                                 trigger:nil];
        [UNUserNotificationCenter.currentNotificationCenter
            addNotificationRequest:notification
             withCompletionHandler:^(NSError* error) {
               completion(describe(error));
             }];
    }
};

} // namespace

std::unique_ptr<services::NotificationCenter> makeNotificationCenter() {
    return std::make_unique<MacNotificationCenter>();
}

} // namespace tesselwick::platform::macos
