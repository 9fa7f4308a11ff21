// Times DownloadToFile against the platform's best on the same server: a
// bare synchronous WinINet loop of 64 KiB reads with the same flags (RELOAD |
// NO_CACHE_WRITE), with the 1 KiB loop (the launcher's reads until now) and
// the 64 KiB loop with RELOAD alone (which also writes the WinINet cache)
// beside it; a first install's download kept with its validators (the
// download, then KeepConditions) against that loop plus one SHA-256 pass of
// the file; a signed build's check (PINS, the pin of the key that signed the
// served file) against without; and reports the process's working set. The
// checked download replaces the same version, which the previous download
// kept, so it verifies one signature, the download's; "signer_check_alone"
// is that one verification by itself.
// Usage: download_benchmark URL KEPT_URL FOLDER ROUNDS PINS
// (KEPT_URL serves the same file with an ETag.)
// Or: download_benchmark rehash URL FOLDER, where URL breaks its body off
// and then finds no connection: times the next run's re-hash of what the
// download kept (TakeUpPartial) against one SHA-256 pass over those bytes.
// Prints "name value unit" lines; asserts nothing.
#include <windows.h>
#include <psapi.h>
#include <wininet.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "launcher/service_operations.h"
#include "services/partial_download.h"
#include "services/sha256.h"
#include "services/signer_check.h"

namespace {

// The shipped defaults.
constexpr DownloadLimits kLimits = {60, 1024, kLargestDownload};

double Seconds(LARGE_INTEGER start) {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart - start.QuadPart) / frequency.QuadPart;
}

// The plainest possible download: reads of `read_size` bytes written
// straight to a file.
long long ReferenceDownload(const std::string& url, const std::string& path, DWORD flags,
                            DWORD read_size = 64 * 1024) {
  HINTERNET session =
      InternetOpenA("Orvinta Launcher", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  HINTERNET request = InternetOpenUrlA(session, url.c_str(), nullptr, 0, flags, 0);
  FILE* file = std::fopen(path.c_str(), "wb");
  std::vector<char> buffer(read_size);
  DWORD count = 0;
  long long total = 0;
  while (InternetReadFile(request, buffer.data(), read_size, &count) && count > 0) {
    std::fwrite(buffer.data(), count, 1, file);
    total += count;
  }
  std::fclose(file);
  InternetCloseHandle(request);
  InternetCloseHandle(session);
  return total;
}

// One SHA-256 pass over the file at `path`, in 256 KiB reads: what keeping
// a body cost when its bytes were read back for their hash.
bool HashFile(const std::string& path) {
  Sha256 sha;
  BodyDigest digest;
  if (StartSha256(&sha) && AddFileToSha256(&sha, path.c_str())) FinishSha256(&sha, &digest);
  return digest.known;
}

SIZE_T PeakWorkingSet() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof(counters);
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
  return counters.PeakWorkingSetSize;
}

// The "rehash" figures, best of three rounds each.
int TimeRehash(const std::string& url, const std::string& folder) {
  const std::string target = folder + "\\updater.exe";
  DownloadReport report;
  const DownloadLimits one_attempt = {60, 1024, kLargestDownload, 1};
  DropPartialDownload(target.c_str());
  DownloadToFile(url.c_str(), target.c_str(), {}, one_attempt, &report);
  if (report.partial_kept == 0) {
    std::printf("rehash_nothing_kept %d code\n", report.result);
    return 1;
  }
  double best_pass = 1e9, best_rehash = 1e9;
  for (int round = 0; round < 3; ++round) {
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    HashFile(target + ".partial");
    const double pass = Seconds(start);
    if (pass < best_pass) best_pass = pass;
    const NarrowString wide_url = url.c_str(), path = target.c_str();
    PartialBody partial;
    DownloadReport taken;
    QueryPerformanceCounter(&start);
    TakeUpPartial(wide_url, path, &partial, &taken);
    const double rehash = Seconds(start);
    if (partial.kept != report.partial_kept) {
      std::printf("rehash_not_taken_up %u bytes\n", partial.kept);
      return 1;
    }
    if (rehash < best_rehash) best_rehash = rehash;
  }
  DropPartialDownload(target.c_str());
  std::printf("rehash_kept_bytes %u bytes\n", report.partial_kept);
  std::printf("sha256_pass_seconds %.3f s\n", best_pass);
  std::printf("rehash_seconds %.3f s (%.2f x one SHA-256 pass)\n", best_rehash,
              best_rehash / best_pass);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "rehash") return TimeRehash(argv[2], argv[3]);
  if (argc != 6) return 2;
  std::string url = argv[1];
  std::string kept_url = argv[2];
  std::string folder = argv[3];
  int rounds = std::atoi(argv[4]);
  std::string pins = argv[5];
  double best_reference = 1e9, best_hashed_reference = 1e9, best_cached = 1e9;
  double best_launcher = 1e9, best_kept = 1e9, best_signed = 1e9;
  long long bytes = 0;
  SIZE_T peak_before = 0, peak_after = 0;
  DownloadReport report;
  const std::string reference_path = folder + "\\reference.bin";
  const std::string client_path = folder + "\\orvinta.exe";
  for (int round = 0; round < rounds; ++round) {
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    bytes =
        ReferenceDownload(url, reference_path, INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE);
    double reference = Seconds(start);
    if (reference < best_reference) best_reference = reference;
    if (!HashFile(reference_path)) {
      std::printf("reference_hash_failed 1 file\n");
      return 1;
    }
    double hashed_reference = Seconds(start);
    if (hashed_reference < best_hashed_reference) best_hashed_reference = hashed_reference;
    DeleteFileA(reference_path.c_str());

    if (round == 0) peak_before = PeakWorkingSet();
    QueryPerformanceCounter(&start);
    DownloadResult result = DownloadToFile(url.c_str(), client_path.c_str(), {}, kLimits, &report);
    double launcher = Seconds(start);
    if (round == 0) peak_after = PeakWorkingSet();
    if (result < 0) {
      std::printf("download_failed %d code\n", result);
      return 1;
    }
    if (launcher < best_launcher) best_launcher = launcher;

    // A first install's client: downloaded, then kept with its validators.
    DeleteFileA(client_path.c_str());
    QueryPerformanceCounter(&start);
    result = DownloadToFile(kept_url.c_str(), client_path.c_str(), {}, kLimits, &report);
    if (result >= 0) KeepConditions(client_path.c_str(), report.conditions, report.digest);
    double kept = Seconds(start);
    if (result < 0 || ReadKeptConditions(client_path.c_str()).empty()) {
      std::printf("download_not_kept_with_validators %d code\n", result);
      return 1;
    }
    if (kept < best_kept) best_kept = kept;

    QueryPerformanceCounter(&start);
    result = DownloadReleaseToFile(url.c_str(), client_path.c_str(), {}, pins.c_str(), kAnyVersion,
                                   kLimits, &report);
    double signed_launcher = Seconds(start);
    if (result < 0) {
      std::printf("signed_download_failed %d code\n", result);
      return 1;
    }
    if (signed_launcher < best_signed) best_signed = signed_launcher;
  }
  // The check alone, on the file the last download kept: a download's own
  // spread on this machine is larger than the check.
  double best_check = 1e9;
  for (int round = 0; round < rounds; ++round) {
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    bool accepted =
        CheckSigner(client_path.c_str(), pins.c_str()).verdict == SignatureVerdict::kPinned;
    double check = Seconds(start);
    if (!accepted) {
      std::printf("signer_check_refused 1 file\n");
      return 1;
    }
    if (check < best_check) best_check = check;
  }
  // The launcher's reads until now, once: at 1 KiB a call it is slow.
  LARGE_INTEGER start;
  QueryPerformanceCounter(&start);
  ReferenceDownload(url, reference_path, INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 1024);
  const double small_reads = Seconds(start);
  DeleteFileA(reference_path.c_str());
  // Last: the 200 MB each of these writes into the cache would slow the
  // downloads measured after it while the system writes it back.
  for (int round = 0; round < rounds; ++round) {
    QueryPerformanceCounter(&start);
    ReferenceDownload(url, reference_path, INTERNET_FLAG_RELOAD);
    double cached = Seconds(start);
    if (cached < best_cached) best_cached = cached;
    DeleteFileA(reference_path.c_str());
  }
  std::printf("download_bytes %lld bytes\n", bytes);
  std::printf("reference_seconds %.3f s (64 KiB reads, RELOAD | NO_CACHE_WRITE)\n", best_reference);
  std::printf("reference_1kib_reads_seconds %.3f s (1 KiB reads, one run: %.2f x)\n", small_reads,
              small_reads / best_reference);
  std::printf("reference_with_cache_write_seconds %.3f s (RELOAD alone: %.3f x)\n", best_cached,
              best_cached / best_reference);
  std::printf("launcher_seconds %.3f s\n", best_launcher);
  std::printf("launcher_to_reference_ratio %.3f x (goal 1.1)\n", best_launcher / best_reference);
  std::printf("reference_and_sha256_pass_seconds %.3f s\n", best_hashed_reference);
  std::printf(
      "launcher_kept_with_validators_seconds %.3f s (%.3f x the loop and a SHA-256 pass; "
      "goal 1.25)\n",
      best_kept, best_kept / best_hashed_reference);
  std::printf("launcher_with_signer_check_seconds %.3f s\n", best_signed);
  std::printf("signer_check_cost %.3f s (%.1f%% of the unchecked download)\n",
              best_signed - best_launcher, 100.0 * (best_signed - best_launcher) / best_launcher);
  std::printf("signer_check_alone_seconds %.3f s (the check's cost is %.2f x it; goal 1.1)\n",
              best_check, (best_signed - best_launcher) / best_check);
  std::printf("peak_working_set_before_download %.2f MiB\n", peak_before / 1048576.0);
  std::printf("peak_working_set_after_download %.2f MiB\n", peak_after / 1048576.0);
  std::printf("peak_working_set_growth_during_download %.2f MiB\n",
              (peak_after - peak_before) / 1048576.0);
  return 0;
}
