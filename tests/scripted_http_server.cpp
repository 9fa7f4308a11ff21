#include "tests/scripted_http_server.h"

#include <ws2tcpip.h>

#include <chrono>

namespace {

struct WinsockStartup {
  WinsockStartup() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
} winsock_startup;

// Waits at most `milliseconds` for `socket` to become readable.
bool WaitReadable(SOCKET socket, int milliseconds) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket, &readable);
  timeval timeout{milliseconds / 1000, (milliseconds % 1000) * 1000};
  return select(0, &readable, nullptr, nullptr, &timeout) == 1;
}

// Sends all `size` bytes, adding each to `*sent`; false when the client has gone.
bool SendAll(SOCKET socket, const char* bytes, size_t size, std::atomic<long long>* sent) {
  while (size > 0) {
    int count = send(socket, bytes, static_cast<int>(size), 0);
    if (count <= 0) return false;
    *sent += count;
    bytes += count;
    size -= static_cast<size_t>(count);
  }
  return true;
}

SOCKET BindLoopback(int* port) {
  SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  int length = sizeof(address);
  getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
  *port = ntohs(address.sin_port);
  return socket;
}

}  // namespace

ScriptedAnswer HttpAnswer(int status, const std::string& body) {
  return {"HTTP/1.1 " + std::to_string(status) + " Scripted\r\nContent-Length: " +
              std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body,
          false};
}

ScriptedHttpServer::ScriptedHttpServer(std::vector<ScriptedAnswer> answers)
    : answers_(std::move(answers)) {
  listener_ = BindLoopback(&port_);
  listen(listener_, 8);
  thread_ = std::thread([this] { Serve(); });
}

ScriptedHttpServer::~ScriptedHttpServer() {
  stopping_ = true;
  thread_.join();
  closesocket(listener_);
}

std::string ScriptedHttpServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> ScriptedHttpServer::Requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<long long> ScriptedHttpServer::SentPerRequest() {
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_per_request_;
}

namespace {

// `answer` as sent to `head`: made from its whole body when it has one.
ScriptedAnswer AnswerTo(const std::string& head, ScriptedAnswer answer) {
  if (answer.whole.empty()) return answer;
  const size_t range = head.find("\r\nRange: bytes=");
  const std::string& whole = answer.whole;
  if (range == std::string::npos) {
    answer.bytes = "HTTP/1.1 200 OK\r\n" + answer.range_headers +
                   "Content-Length: " + std::to_string(whole.size()) + "\r\n\r\n" + whole;
    return answer;
  }
  const size_t from = std::stoul(head.substr(range + 15)) + answer.range_skew;
  answer.bytes =
      "HTTP/1.1 206 Partial Content\r\n" + answer.range_headers + "Content-Range: bytes " +
      std::to_string(from) + "-" + std::to_string(whole.size() - 1) + "/" +
      std::to_string(whole.size()) + "\r\n" +
      (answer.range_length
           ? "Content-Length: " + std::to_string(whole.size() - from + answer.range_extra) + "\r\n"
           : std::string()) +
      "\r\n" + whole.substr(from) + std::string(answer.range_extra, 'x');
  return answer;
}

}  // namespace

void ScriptedHttpServer::Serve() {
  size_t next = 0;
  // Bounded: a test that never connects still ends within a minute.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!stopping_ && std::chrono::steady_clock::now() < deadline) {
    if (!WaitReadable(listener_, 50)) continue;
    SOCKET client = accept(listener_, nullptr, nullptr);
    if (client == INVALID_SOCKET) continue;
    // A client that stops reading (a download given up on leaves its
    // connection open) ends the answer, rather than holding a send forever.
    DWORD send_timeout_ms = 3000;
    setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<char*>(&send_timeout_ms),
               sizeof(send_timeout_ms));
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536 &&
           WaitReadable(client, 2000)) {
      int count = recv(client, buffer, sizeof(buffer), 0);
      if (count <= 0) break;
      head.append(buffer, count);
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(head);
    }
    const ScriptedAnswer answer =
        AnswerTo(head, answers_[next < answers_.size() ? next : answers_.size() - 1]);
    ++next;
    const long long sent_before = sent_;
    size_t sent = 0;
    bool open = true;
    for (size_t pause = 0; open && pause <= answer.pauses.size(); ++pause) {
      size_t until = pause < answer.pauses.size() ? answer.pauses[pause].at : answer.bytes.size();
      open = SendAll(client, answer.bytes.data() + sent, until - sent, &sent_);
      sent = until;
      if (pause == answer.pauses.size()) break;
      auto resume =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(answer.pauses[pause].ms);
      for (auto now = std::chrono::steady_clock::now(); !stopping_ && now < resume;
           now = std::chrono::steady_clock::now()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(resume - now).count();
        Sleep(static_cast<DWORD>(left < 20 ? left : 20));
      }
    }
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
         !answer.repeated.empty() && open && !stopping_ &&
         std::chrono::steady_clock::now() < end;) {
      open = SendAll(client, answer.repeated.data(), answer.repeated.size(), &sent_);
    }
    if (answer.reset) {
      linger abort{1, 0};
      setsockopt(client, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&abort), sizeof(abort));
    } else {
      shutdown(client, SD_SEND);
    }
    closesocket(client);
    std::lock_guard<std::mutex> lock(mutex_);
    sent_per_request_.push_back(sent_ - sent_before);
  }
}

int ClosedPort() {
  int port = 0;
  closesocket(BindLoopback(&port));
  return port;
}
