// Reads and plants the launcher's registry values, with exact types and
// bytes, for the end-to-end tests. Built for the launcher's processor, it
// sees the launcher's registry view: the 32-bit one for the shipped build.
//   registry_probe dump                      one line per value
//   registry_probe set-install TYPE HEXBYTES  stores "INSTALL" as given
//   registry_probe last-run                  the record of the last run
//   registry_probe set-kept NAME HEXBYTES     stores a record of kept
//                                             conditions for the file NAME
//   registry_probe trust-root CERT.der        adds a test CA to the machine's
//                                             ROOT store, which lives in the
//                                             prefix's registry
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char kProductKey[] = "SOFTWARE\\ZORVIN TALLAMERE\\ORVINTA";
constexpr char kKeptKey[] = "SOFTWARE\\ZORVIN TALLAMERE\\ORVINTA\\Validators";

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
  }
  return bytes;
}

void Dump(HKEY root, const char* root_name, const char* subkey, const char* name) {
  std::printf("%s\\%s|%s|", root_name, subkey, name);
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, subkey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    std::printf("missing\n");
    return;
  }
  std::vector<unsigned char> data(8192);
  DWORD size = static_cast<DWORD>(data.size());
  DWORD type = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) {
    std::printf("missing\n");
  } else {
    std::printf("%lu|", static_cast<unsigned long>(type));
    for (DWORD i = 0; i < size; ++i) std::printf("%02x", data[i]);
    std::printf("\n");
  }
  RegCloseKey(key);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "dump") == 0) {
    Dump(HKEY_LOCAL_MACHINE, "HKLM", kProductKey, "INSTALL");
    Dump(HKEY_CLASSES_ROOT, "HKCR", "orvinta", "URL protocol");
    Dump(HKEY_CLASSES_ROOT, "HKCR", "orvinta\\shell\\open\\command", "");
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "last-run") == 0) {
    Dump(HKEY_LOCAL_MACHINE, "HKLM", kProductKey, "LastRun");
    return 0;
  }
  if (argc == 4 && std::strcmp(argv[1], "set-kept") == 0) {
    const std::string bytes = FromHex(argv[3]);
    return RegSetKeyValueA(HKEY_LOCAL_MACHINE, kKeptKey, argv[2], REG_BINARY, bytes.data(),
                           static_cast<DWORD>(bytes.size())) == ERROR_SUCCESS
               ? 0
               : 3;
  }
  if (argc == 4 && std::strcmp(argv[1], "set-install") == 0) {
    std::string bytes = FromHex(argv[3]);
    bytes.push_back('X');  // So the system adds no terminator of its own.
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
      return 2;
    }
    LONG status = RegSetValueExA(key, "INSTALL", 0, std::strtoul(argv[2], nullptr, 10),
                                 reinterpret_cast<const BYTE*>(bytes.data()),
                                 static_cast<DWORD>(bytes.size() - 1));
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? 0 : 3;
  }
  if (argc == 3 && std::strcmp(argv[1], "trust-root") == 0) {
    FILE* file = std::fopen(argv[2], "rb");
    if (file == nullptr) return 2;
    std::vector<BYTE> der(16384);
    size_t size = std::fread(der.data(), 1, der.size(), file);
    std::fclose(file);
    HCERTSTORE root =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "ROOT");
    if (root == nullptr) return 3;
    BOOL added = CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, der.data(),
                                                  static_cast<DWORD>(size),
                                                  CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    CertCloseStore(root, 0);
    return added ? 0 : 4;
  }
  std::fprintf(stderr,
               "usage: registry_probe dump | last-run | set-install TYPE HEX | set-kept NAME HEX | "
               "trust-root DER\n");
  return 1;
}
