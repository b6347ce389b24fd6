// The guest's recorder: alsa_recorder FILE [STOP_AFTER [NAME | hw:C,D]] keeps every MIDI byte that
// reaches it. NAME: a sequencer client (default "recorder") with a writable port "in" and the
// largest input pool the kernel grants (POOL=0: its default), gone once STOP_AFTER bytes came (0:
// never); hw:C,D: a rawmidi input with a 64 KiB buffer. FILE.ready appears once it can receive
// (holding a client's "client:port"). Once stopped (SIGTERM) it writes FILE, closes, then FILE.exit
// (when, in seconds of /proc/uptime). ANSWER=fresh|updated: it answers Identity Requests (a client
// from its port, rawmidi on the device's output) as device 10, 7D, family 0x0012, model 0x00B4,
// revision 1.0.0.0 until anything but requests came in (fresh), then 1.0.1.0.
#include <alsa/asoundlib.h>
#include <poll.h>
#include <signal.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

static volatile sig_atomic_t g_stop = 0;

int main(int argc, char** argv) {
  signal(SIGTERM, [](int) { g_stop = 1; });
  const std::string file = argv[1], source = argc > 3 ? argv[3] : "recorder";
  const size_t stop_after = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 0;
  const char* answer = std::getenv("ANSWER");
  static unsigned char buf[65536];
  snd_seq_t* seq = nullptr;
  snd_rawmidi_t *in = nullptr, *back = nullptr;
  snd_midi_event_t* decoder = nullptr;
  pollfd fds[2];
  int nfds, port = 0;
  if (source.rfind("hw:", 0) == 0) {
    snd_rawmidi_open(&in, answer ? &back : nullptr, argv[3], SND_RAWMIDI_NONBLOCK);
    snd_rawmidi_params_t* params;
    snd_rawmidi_params_alloca(&params);
    snd_rawmidi_params_current(in, params);
    snd_rawmidi_params_set_buffer_size(in, params, sizeof buf);
    snd_rawmidi_params(in, params);
    snd_rawmidi_read(in, buf, sizeof buf);  // starts the input; what came before it is not kept
    nfds = snd_rawmidi_poll_descriptors(in, fds, 2);
    std::ofstream(file + ".ready");
  } else {
    snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
    snd_seq_set_client_name(seq, source.c_str());
    if (std::getenv("POOL") == nullptr) snd_seq_set_client_pool_input(seq, 2000);
    snd_seq_set_input_buffer_size(seq, 128 * 1024);
    port = snd_seq_create_simple_port(
        seq, "in",
        SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE |
            (answer ? SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ : 0),
        SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    snd_midi_event_new(256, &decoder);
    snd_midi_event_no_status(decoder, 1);
    nfds = snd_seq_poll_descriptors(seq, fds, 2, POLLIN);
    std::ofstream(file + ".ready") << snd_seq_client_id(seq) << ":" << port;
  }
  const std::string request("\xF0\x7E\x7F\x06\x01\xF7");
  std::string got;
  size_t requests = 0;
  while (stop_after == 0 || got.size() < stop_after) {
    long n;
    snd_seq_event_t* ev = nullptr;
    if (in != nullptr) {
      n = snd_rawmidi_read(in, buf, sizeof buf);
    } else if ((n = snd_seq_event_input(seq, &ev)) >= 0) {
      n = snd_midi_event_decode(decoder, buf, sizeof buf, ev);  // a System Exclusive whole
      if (n == -ENOENT) n = 0;                                  // not MIDI: nothing to keep
    }
    if (n < 0 && n != -EAGAIN) std::fprintf(stderr, "alsa_recorder: read err = %ld\n", n);
    if (n < 0 && g_stop) break;
    if (n < 0) poll(fds, nfds, 20);
    for (long i = 0; i < n; ++i) {
      got.push_back(char(buf[i]));
      if (answer == nullptr || !got.ends_with(request)) continue;
      std::string r("\xF0\x7E\x10\x06\x02\x7D\x12\x00\x34\x01\x01\x00\x00\x00\xF7", 15);
      r[12] = char(std::string(answer) == "updated" || got.size() > ++requests * request.size());
      if (back != nullptr) snd_rawmidi_write(back, r.data(), r.size());
      if (seq == nullptr) continue;
      snd_seq_event_t e{};
      snd_seq_ev_set_source(&e, port);
      snd_seq_ev_set_subs(&e);
      snd_seq_ev_set_direct(&e);
      snd_seq_ev_set_sysex(&e, r.size(), r.data());
      snd_seq_event_output_direct(seq, &e);
    }
  }
  std::ofstream(file, std::ios::binary) << got;
  seq ? snd_seq_close(seq) : snd_rawmidi_close(in);
  if (back != nullptr) snd_rawmidi_close(back);
  timespec t;
  clock_gettime(CLOCK_BOOTTIME, &t);  // the clock of /proc/uptime
  std::ofstream(file + ".exit") << std::fixed << double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}
