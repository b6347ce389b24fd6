#include "AppDelegate.h"

#include "Log.h"

namespace midiflash {

AppDelegate::AppDelegate(std::string settingsFile, std::string file)
    : settings_file_(std::move(settingsFile)), file_(std::move(file)) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
  if (main_) return;
  MainWindowController::Parts parts;
  parts.settingsFile = settings_file_;
  main_ = std::make_unique<MainWindowController>(std::move(parts));
  main_->showWindow();
  if (!file_.empty()) {
    LogLine("open: %s", file_.c_str());
    main_->workflow().ChooseFile(file_);
  }
}

}  // namespace midiflash
