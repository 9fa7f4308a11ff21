#pragma once

#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "launcher/service_operations.h"
#include "services/sha256.h"
#include "tests/registry_sandbox.h"
#include "tests/scripted_http_server.h"
#include "tests/test_support.h"

// What the download rows share: the test limits, bodies that start like a
// program, answers in pieces, the test keys, and a scratch target that
// failures must leave as it was.

// The signed test files the build makes in signing\ beside this program.
inline std::string TestKeyFile(const std::string& name) {
  char module[MAX_PATH];
  std::string path(module, GetModuleFileNameA(nullptr, module, MAX_PATH));
  return path.substr(0, path.find_last_of('\\')) + "\\signing\\" + name;
}

// A 2-second window, so that the rows with stalled servers end quickly.
constexpr DownloadLimits kTestLimits = {2, 1024, kLargestDownload};
// One attempt: for rows about one answer, not about what follows it.
constexpr DownloadLimits kOneAttempt = {2, 1024, kLargestDownload, 1};

// `size` bytes that, from 88 on, are a Windows program, as every body a
// download keeps must be: "MZ", and "PE\0\0" at 0x40, where 0x3C says,
// with a file header of no sections, so that its headers end at 88.
inline std::string Body(size_t size) {
  std::string body(size, '\0');
  for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>((i * 131 + 7) % 251);
  if (size >= 0x58) {
    body.replace(0, 2, "MZ")
        .replace(0x3C, 28, std::string("\x40\0\0\0PE\0\0", 8) + std::string(20, '\0'));
  }
  return body;
}

// Body(size) whose headers say it is `size` bytes long: one section, from
// 0x80 to the end, after a table that ends at 0x80.
inline std::string ProgramOf(size_t size) {
  std::string program = Body(size);
  auto put = [&](size_t at, std::uint32_t value) { std::memcpy(&program[at], &value, 4); };
  program[0x46] = 1;                                        // NumberOfSections.
  put(0x58 + 16, static_cast<std::uint32_t>(size - 0x80));  // SizeOfRawData.
  put(0x58 + 20, 0x80);                                     // PointerToRawData.
  return program;
}

// The SHA-256 of `bytes` in one piece, against which a download's hash in
// pieces (and over a resumed body's bytes read back) is checked.
inline BodyDigest DigestOf(const std::string& bytes) {
  BodyDigest digest;
  Sha256 sha;
  if (StartSha256(&sha) && AddToSha256(&sha, bytes.data(), static_cast<DWORD>(bytes.size()))) {
    FinishSha256(&sha, &digest);
  }
  return digest;
}

// True when `digest` is known and is the SHA-256 of `bytes`.
inline bool IsDigestOf(const BodyDigest& digest, const std::string& bytes) {
  const BodyDigest expected = DigestOf(bytes);
  return expected.known && digest.known &&
         std::memcmp(expected.bytes, digest.bytes, sizeof(expected.bytes)) == 0;
}

// A small body a download keeps.
inline const std::string kNew = Body(300);

// The head of a chunked answer, and one chunk of it.
inline const std::string kChunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
inline std::string Chunk(const std::string& data) {
  char size_line[16];
  std::snprintf(size_line, sizeof(size_line), "%zx\r\n", data.size());
  return size_line + data + "\r\n";
}

// `answer` with its body (what follows the head) in pieces of `piece`
// bytes: the first `first_ms` after the head and each next `gap_ms` after
// the one before it.
inline ScriptedAnswer Paced(const std::string& answer, size_t piece, int first_ms, int gap_ms) {
  ScriptedAnswer paced(answer);
  const size_t head = answer.find("\r\n\r\n") + 4;
  for (size_t at = head; at < answer.size(); at += piece) {
    paced.pauses.push_back({at, at == head ? first_ms : gap_ms});
  }
  return paced;
}

class DownloadTest : public ::testing::Test {
 protected:
  DownloadResult Download(ScriptedHttpServer& server) {
    return DownloadToFile(server.Url("/client/tmp_updater.bin").c_str(), target_.c_str(), {},
                          kTestLimits, &report_);
  }
  // A previous good file at the target, which failures must leave intact,
  // and nothing an earlier row left for the next run.
  void PlacePreviousFile(const std::string& bytes = "previous updater") {
    DropPartialDownload(target_.c_str());
    WriteFileBytes(target_, bytes);
  }
  void ExpectPreviousFileAlone(const std::string& bytes = "previous updater",
                               const std::vector<std::string>& entries = {"updater.exe"}) {
    const std::string stored = ReadFileBytes(target_);
    // Sizes, not contents: a replaced file may be a whole binary.
    EXPECT_TRUE(stored == bytes) << "the target now holds " << stored.size() << " other bytes";
    EXPECT_EQ(folder_.Entries(), entries);
  }

  RegistrySandbox registry_;  // Where partials are recorded.
  ScratchFolder folder_;
  std::string target_ = folder_.Child("updater.exe");
  DownloadReport report_;
};

// Trusts the test CA in this prefix's machine ROOT store, where WinINet
// looks for the roots of server certificates.
inline void TrustTestCa() {
  const std::string der = ReadFileBytes(TestKeyFile("ca.der"));
  HCERTSTORE root =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "ROOT");
  ASSERT_NE(root, nullptr);
  EXPECT_TRUE(CertAddEncodedCertificateToStore(
      root, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
      static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
  CertCloseStore(root, 0);
}

// The pin of a test signer's key (signing\<signer>.pin).
inline std::string Pin(const std::string& signer) {
  return ReadFileBytes(TestKeyFile(signer + ".pin")).substr(0, 64);
}
