// Clock, folders, bundle, process launching and workspace opening on Foundation
// and AppKit.
#import <AppKit/AppKit.h>

#include "platform/Platform.h"
#include "platform/macos/FoundationStrings.h"

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vantrel::platform::macos {
// In Json.mm: the probe's JSON question on NSJSONSerialization.
std::optional<std::string> jsonTopLevelStringMember(std::string_view json, std::string_view key);
} // namespace vantrel::platform::macos

namespace vantrel::platform {
namespace {

// Paths go to POSIX calls in the core, so they travel in the file system's own form.
std::string filePath(NSURL* url) {
    const char* path = url.fileSystemRepresentation;
    return path != nullptr ? std::string(path) : std::string();
}

NSURL* fileURL(const std::string& path, bool isDirectory) {
    return [NSURL fileURLWithFileSystemRepresentation:path.c_str()
                                          isDirectory:isDirectory ? YES : NO
                                        relativeToURL:nil];
}

class FoundationSystem final : public System {
  public:
    double now() override { return [NSDate date].timeIntervalSince1970; }

    std::vector<std::string> applicationSupportDirectories() override {
        @autoreleasepool {
            std::vector<std::string> folders;
            for (NSURL* url in
                 [[NSFileManager defaultManager] URLsForDirectory:NSApplicationSupportDirectory
                                                        inDomains:NSUserDomainMask]) {
                if (auto path = filePath(url); !path.empty()) {
                    folders.push_back(std::move(path));
                }
            }
            return folders;
        }
    }

    std::string mainBundlePath() override {
        @autoreleasepool {
            return filePath([NSBundle mainBundle].bundleURL);
        }
    }

    bool isExecutableFile(const std::string& path) override {
        @autoreleasepool {
            NSString* text =
                [[NSFileManager defaultManager] stringWithFileSystemRepresentation:path.c_str()
                                                                            length:path.size()];
            return [[NSFileManager defaultManager] isExecutableFileAtPath:text];
        }
    }

    bool launchProcess(const std::string& executable,
                       const std::vector<std::string>& arguments) override {
        @autoreleasepool {
            NSMutableArray<NSString*>* taskArguments = [NSMutableArray array];
            for (const auto& argument : arguments) {
                NSString* text = macos::toNSString(argument);
                if (text == nil) {
                    // Not the exact argument list: better not to start at all.
                    return false;
                }
                [taskArguments addObject:text];
            }
            NSTask* task = [[NSTask alloc] init];
            task.executableURL = fileURL(executable, false);
            task.arguments = taskArguments;
            task.standardInput = [NSFileHandle fileHandleWithNullDevice];
            task.standardOutput = [NSFileHandle fileHandleWithNullDevice];
            task.standardError = [NSFileHandle fileHandleWithNullDevice];
            // Returns once the child has started; nothing waits for it.
            return [task launchAndReturnError:nil] == YES;
        }
    }

    void openApplicationAsNewInstance(const std::string& bundlePath,
                                      std::function<void(bool opened)> completion) override {
        @autoreleasepool {
            NSWorkspaceOpenConfiguration* configuration =
                [[NSWorkspaceOpenConfiguration alloc] init];
            [configuration setCreatesNewApplicationInstance:YES];
            // The completion may arrive on any queue; the core carries its
            // effects to the main thread.
            [[NSWorkspace sharedWorkspace]
                openApplicationAtURL:fileURL(bundlePath, true)
                       configuration:configuration
                   completionHandler:^(NSRunningApplication* application, NSError* error) {
                     (void)application;
                     completion(error == nil);
                   }];
        }
    }

    std::optional<std::string> jsonTopLevelStringMember(std::string_view json,
                                                        std::string_view key) const override {
        return macos::jsonTopLevelStringMember(json, key);
    }
};

} // namespace

std::unique_ptr<System> createSystem() {
    return std::make_unique<FoundationSystem>();
}

} // namespace vantrel::platform
