// The guest's recorder: writes every MIDI byte that reaches it to a file, exactly as received.
//   alsa_recorder seq FILE [STOP_AFTER [NAME]]  a sequencer client NAME ("recorder") with one
//                                        writable port "in"; with STOP_AFTER (0: never) it exits as
//                                        soon as that many bytes have come
//   alsa_recorder rawmidi DEVICE FILE    reads a rawmidi input (64 KiB buffer)
// It creates FILE.ready once it can receive (for seq holding its address, "client:port"), and on
// SIGTERM reads what is left, then exits. A seq recorder writes to FILE.exit when its client was
// closed, in seconds of CLOCK_BOOTTIME (the clock of /proc/uptime).
// With ANSWER=fresh or ANSWER=updated it is also a device that answers Identity Requests (a seq
// recorder from its port "in", which can then be read too; a rawmidi one on the device's output,
// as a USB or serial device does): device 10, manufacturer 7D, family 0x0012, model 0x00B4,
// software revision 1.0.0.0 until anything else has come in (fresh), then 1.0.1.0.
#include <alsa/asoundlib.h>
#include <poll.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t g_stop = 0;

const unsigned char kRequest[] = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};

// Identity Requests in the stream, and whether anything else came: what this device answers.
class Answerer {
 public:
  Answerer() : on_(std::getenv("ANSWER") != nullptr), updated_(Env("ANSWER") == "updated") {}
  bool on() const { return on_; }
  // Takes received bytes; returns how many requests they completed.
  int Take(const unsigned char* data, long n) {
    int requests = 0;
    for (long i = 0; i < n; ++i) {
      last_.push_back(data[i]);
      if (last_.size() > sizeof kRequest) last_.erase(last_.begin());
      ++bytes_;
      if (last_.size() == sizeof kRequest && std::equal(last_.begin(), last_.end(), kRequest)) {
        ++requests, last_.clear();
        bytes_ -= sizeof kRequest;
      }
    }
    updated_ = updated_ || bytes_ > 0;
    return on_ ? requests : 0;
  }
  std::vector<unsigned char> Reply() const {
    return {0xF0,
            0x7E,
            0x10,
            0x06,
            0x02,
            0x7D,
            0x12,
            0x00,
            0x34,
            0x01,
            0x01,
            0x00,
            static_cast<unsigned char>(updated_ ? 1 : 0),
            0x00,
            0xF7};
  }

 private:
  static std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
  }
  bool on_, updated_;
  long bytes_ = 0;  // other than requests
  std::vector<unsigned char> last_;
};

// Writes FILE.ready (or FILE`suffix`), renamed into place so that whoever sees it sees `text`.
void Ready(const std::string& file, const std::string& text = "", const char* suffix = ".ready") {
  if (FILE* f = std::fopen((file + ".part").c_str(), "w")) {
    std::fputs(text.c_str(), f);
    std::fclose(f);
    std::rename((file + ".part").c_str(), (file + suffix).c_str());
  }
}

int RecordSeq(const std::string& file, long stop_after, const char* name) {
  Answerer answerer;
  snd_seq_t* seq;
  if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) return 1;
  snd_seq_set_client_name(seq, name);
  // The largest input pool the kernel grants, so that a 50000-byte System Exclusive fits; with
  // POOL=0 the kernel's default.
  if (std::getenv("POOL") == nullptr) snd_seq_set_client_pool_input(seq, 2000);
  snd_seq_set_input_buffer_size(seq, 128 * 1024);
  const unsigned reads = answerer.on() ? SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ : 0;
  const int port = snd_seq_create_simple_port(
      seq, "in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE | reads,
      SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
  snd_midi_event_t* decoder;
  snd_midi_event_new(256, &decoder);
  snd_midi_event_no_status(decoder, 1);
  FILE* out = std::fopen(file.c_str(), "wb");
  Ready(file, std::to_string(snd_seq_client_id(seq)) + ":" + std::to_string(port));
  long total = 0;
  for (;;) {
    snd_seq_event_t* ev = nullptr;
    const int err = snd_seq_event_input(seq, &ev);
    if (err == -EAGAIN) {
      if (g_stop) break;
      pollfd fds[2];
      poll(fds, snd_seq_poll_descriptors(seq, fds, 2, POLLIN), 20);
      continue;
    }
    if (err < 0 || ev == nullptr) {
      std::fprintf(stderr, "alsa_recorder: snd_seq_event_input err = %d\n", err);
      continue;
    }
    unsigned char buf[16];
    const bool sysex = ev->type == SND_SEQ_EVENT_SYSEX;
    const long n = sysex ? long(ev->data.ext.len) : snd_midi_event_decode(decoder, buf, 16, ev);
    if (n > 0) total += long(std::fwrite(sysex ? ev->data.ext.ptr : buf, 1, size_t(n), out));
    std::fflush(out);
    const auto* bytes = static_cast<const unsigned char*>(sysex ? ev->data.ext.ptr : buf);
    for (int i = answerer.Take(bytes, n); i > 0; --i) {
      std::vector<unsigned char> reply = answerer.Reply();
      snd_seq_event_t r;
      snd_seq_ev_clear(&r);
      snd_seq_ev_set_source(&r, port);
      snd_seq_ev_set_subs(&r);
      snd_seq_ev_set_direct(&r);
      snd_seq_ev_set_sysex(&r, reply.size(), reply.data());
      snd_seq_event_output_direct(seq, &r);
    }
    if (stop_after > 0 && total >= stop_after) break;
  }
  std::fclose(out);
  snd_seq_close(seq);
  timespec now;
  clock_gettime(CLOCK_BOOTTIME, &now);
  Ready(file,
        std::to_string(now.tv_sec) + "." + std::to_string(1000000 + now.tv_nsec / 1000).substr(1),
        ".exit");
  return 0;
}

int RecordRawmidi(const char* device, const std::string& file) {
  Answerer answerer;
  snd_rawmidi_t *in, *out_port = nullptr;
  if (snd_rawmidi_open(&in, answerer.on() ? &out_port : nullptr, device, SND_RAWMIDI_NONBLOCK) <
      0) {
    return 1;
  }
  snd_rawmidi_params_t* params;
  snd_rawmidi_params_alloca(&params);
  snd_rawmidi_params_current(in, params);
  snd_rawmidi_params_set_buffer_size(in, params, 65536);
  snd_rawmidi_params(in, params);
  FILE* out = std::fopen(file.c_str(), "wb");
  std::vector<unsigned char> buf(65536);
  // The first read starts the input; bytes sent before it are not kept.
  snd_rawmidi_read(in, buf.data(), buf.size());
  Ready(file);
  for (ssize_t n; (n = snd_rawmidi_read(in, buf.data(), buf.size())) > 0 || !g_stop;) {
    if (n > 0) {
      std::fwrite(buf.data(), 1, static_cast<size_t>(n), out);
      for (int i = answerer.Take(buf.data(), n); i > 0; --i) {
        const std::vector<unsigned char> reply = answerer.Reply();
        snd_rawmidi_write(out_port, reply.data(), reply.size());
      }
    } else {
      pollfd fds[2];
      poll(fds, snd_rawmidi_poll_descriptors(in, fds, 2), 20);
    }
  }
  std::fclose(out);
  snd_rawmidi_close(in);
  if (out_port != nullptr) snd_rawmidi_close(out_port);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGTERM, [](int) { g_stop = 1; });
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "seq" && argc >= 3 && argc <= 5) {
    return RecordSeq(argv[2], argc > 3 ? std::atol(argv[3]) : 0, argc > 4 ? argv[4] : "recorder");
  }
  if (mode == "rawmidi" && argc == 4) return RecordRawmidi(argv[2], argv[3]);
  std::fprintf(stderr, "usage: alsa_recorder seq FILE [STOP_AFTER [NAME]] | rawmidi DEVICE FILE\n");
  return 2;
}
