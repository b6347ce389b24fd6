#include "CliSignals.h"

namespace {

volatile sig_atomic_t g_signal = 0;
midiflash::MainQueue* g_queue = nullptr;

void OnSignal(int signo) {
  g_signal = signo;
  if (g_queue != nullptr) g_queue->Wake();
}

}  // namespace

CliSignals::CliSignals(midiflash::MainQueue& queue) {
  g_signal = 0;
  g_queue = &queue;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, &old_int_);
  sigaction(SIGTERM, &sa, &old_term_);
}

CliSignals::~CliSignals() {
  sigaction(SIGINT, &old_int_, nullptr);
  sigaction(SIGTERM, &old_term_, nullptr);
  g_queue = nullptr;
}

int CliSignals::Received() {
  return g_signal;
}
