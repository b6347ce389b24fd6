#include "AppDelegate.h"

#include "ScreenshotTour.h"

namespace midiflash {

AppDelegate::AppDelegate() = default;
AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
  if (mainWC_) return;
  tour_ = ScreenshotTour::FromEnvironment();
  MainWindowController::Parts parts;
  if (tour_) parts.chooser = tour_->chooser();
  mainWC_ = std::make_unique<MainWindowController>(std::move(parts));
  mainWC_->showWindow();
  if (tour_) tour_->Start(*mainWC_);
}

}  // namespace midiflash
