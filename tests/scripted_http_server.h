#pragma once

#include <winsock2.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// One scripted answer: raw bytes written after the request head arrives, then
// either an orderly close or a reset (RST).
struct ScriptedAnswer {
  struct Pause;
  ScriptedAnswer(std::string bytes_sent, bool reset_at_end = false,
                 std::vector<Pause> silences = {}, std::string repeated_bytes = "")
      : bytes(std::move(bytes_sent)),
        reset(reset_at_end),
        pauses(std::move(silences)),
        repeated(std::move(repeated_bytes)) {}

  std::string bytes;
  bool reset = false;
  // Silences, in order: before byte `at` of `bytes` (bytes.size(): before
  // the close) the server sends nothing for `ms` milliseconds.
  struct Pause {
    size_t at;
    int ms;
  };
  std::vector<Pause> pauses;
  // Sent again and again after `bytes`, as fast as the client takes them,
  // until it leaves or takes nothing for 3 s (at most 30 s): a body that
  // never ends.
  std::string repeated;
  // When not empty, `bytes` is made from the request instead: for
  // "Range: bytes=<k>-", a 206 with the rest of this whole body from byte
  // k + `range_skew` (so a skew answers another range than the one asked
  // for), else a 200 with all of it; `range_headers` (CRLF-terminated
  // lines) follow the status line either way.
  std::string whole;
  std::string range_headers;
  size_t range_skew = 0;
  bool range_length = true;  // False: no Content-Length; the body ends at the close.
  // Bytes of another body sent after the range, and counted in its
  // Content-Length but not its Content-Range: the two disagree.
  size_t range_extra = 0;
};

// "HTTP/1.1 <status>" with a Content-Length header and `body`.
ScriptedAnswer HttpAnswer(int status, const std::string& body);

// An HTTP server on 127.0.0.1 that answers each connection with the next
// scripted answer (the n-th request gets the n-th; the last one repeats)
// and always closes, so a client never
// waits on it longer than the script says. Every wait is bounded; it stops
// when destroyed, cutting a pause short.
class ScriptedHttpServer {
 public:
  explicit ScriptedHttpServer(std::vector<ScriptedAnswer> answers);
  ~ScriptedHttpServer();
  ScriptedHttpServer(const ScriptedHttpServer&) = delete;
  ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

  // "http://127.0.0.1:<port>" + path.
  std::string Url(const std::string& path) const;
  // The request heads received so far.
  std::vector<std::string> Requests();
  // How many bytes of answers the system took from the server so far.
  long long Sent() const { return sent_; }
  // The same for each request, in order.
  std::vector<long long> SentPerRequest();

 private:
  void Serve();

  std::vector<ScriptedAnswer> answers_;
  SOCKET listener_ = INVALID_SOCKET;
  int port_ = 0;
  volatile bool stopping_ = false;
  std::mutex mutex_;
  std::vector<std::string> requests_;
  std::vector<long long> sent_per_request_;
  std::atomic<long long> sent_{0};
  std::thread thread_;
};

// A 127.0.0.1 port with nothing listening on it.
int ClosedPort();
