#include "AppDelegate.h"

#include "Log.h"

namespace midiflash {

AppDelegate::AppDelegate(std::string settingsFile, std::string reportsFolder, std::string file)
    : settings_file_(std::move(settingsFile)),
      reports_folder_(std::move(reportsFolder)),
      file_(std::move(file)) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
  if (main_) return;
  MainWindowController::Parts parts;
  parts.settingsFile = settings_file_;
  parts.reportsFolder = reports_folder_;
  main_ = std::make_unique<MainWindowController>(std::move(parts));
  main_->showWindow();
  if (!file_.empty()) {
    LogLine("open: %s", file_.c_str());
    main_->workflow().ChooseFile(file_);
  }
}

}  // namespace midiflash
