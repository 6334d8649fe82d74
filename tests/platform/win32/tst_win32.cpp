// The Win32 layer against the real Windows API (run under Wine here): the
// Credential Manager store, the reparse-point test, the wait for a process,
// the wide command line and the error box. Qt-free, so that MinGW-w64 builds
// it; prints "win32: N passed, N failed" and exits non-zero on a failure.
// Also the CNG digests behind the file layer's hashing and the CNG check of
// the operator's signatures.
//
// Started with "--sleep <ms>" it is its own child process for the wait tests.
#include "platform/CommandLine.h"
#include "platform/Digest.h"
#include "platform/ErrorBox.h"
#include "platform/LongPath.h"
#include "platform/ProcessWait.h"
#include "platform/ReparsePoint.h"
#include "platform/Signature.h"
#include "platform/WinCredentials.h"

// windows.h first: the other Windows headers depend on it.
#include <windows.h>

#include <wincred.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

using namespace tarvik::platform;
using namespace tarvik::platform::win;

namespace {

int passed = 0;
int failed = 0;

void check(bool ok, const char* what, int line)
{
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAIL (line %d): %s\n", line, what);
    }
}
#define CHECK(condition) check((condition), #condition, __LINE__)

void note(const char* text)
{
    std::printf("note: %s\n", text);
}

const std::wstring kTarget = L"TarvikClient/Microsoft/8c7a1d6e-1f0b-4c3e-9a77-2b1d5e3f4a90";

void credentials()
{
    std::string token(2560, '\0');
    for (size_t i = 0; i < token.size(); ++i)
        token[i] = static_cast<char>((i * 131 + 7) & 0xff); // zero bytes included

    std::string blob;
    CHECK(!readGenericCredential(kTarget, blob));
    CHECK(writeGenericCredential(kTarget, L"Microsoft", token));

    // The record exactly as written: generic, user "Microsoft", local machine,
    // no flags, comment or alias, the blob byte for byte.
    PCREDENTIALW raw = nullptr;
    CHECK(CredReadW(kTarget.c_str(), CRED_TYPE_GENERIC, 0, &raw) != FALSE);
    if (raw) {
        CHECK(raw->Type == CRED_TYPE_GENERIC);
        CHECK(std::wstring(raw->TargetName) == kTarget);
        CHECK(raw->UserName && std::wstring(raw->UserName) == L"Microsoft");
        CHECK(raw->Persist == CRED_PERSIST_LOCAL_MACHINE);
        CHECK(raw->Flags == 0);
        CHECK(raw->Comment == nullptr || raw->Comment[0] == L'\0');
        CHECK(raw->TargetAlias == nullptr || raw->TargetAlias[0] == L'\0');
        CHECK(raw->AttributeCount == 0);
        CHECK(raw->CredentialBlobSize == 2560);
        CredFree(raw);
    }
    CHECK(readGenericCredential(kTarget, blob));
    CHECK(blob == token);

    // Writing again replaces the one credential.
    CHECK(writeGenericCredential(kTarget, L"Microsoft", "second token"));
    CHECK(readGenericCredential(kTarget, blob));
    CHECK(blob == "second token");
    DWORD count = 0;
    PCREDENTIALW* all = nullptr;
    if (CredEnumerateW(L"TarvikClient/Microsoft/*", 0, &count, &all)) {
        CHECK(count == 1);
        CredFree(all);
    } else {
        note("CredEnumerateW with a filter is not available; one-credential check skipped");
    }

    // Another application id has its own credential.
    CHECK(!readGenericCredential(L"TarvikClient/Microsoft/other", blob));

    CHECK(deleteGenericCredential(kTarget) == 0);
    CHECK(!readGenericCredential(kTarget, blob));
    // Deleting what is not there: the API says ERROR_NOT_FOUND, we say success.
    CHECK(CredDeleteW(kTarget.c_str(), CRED_TYPE_GENERIC, 0) == FALSE);
    CHECK(GetLastError() == ERROR_NOT_FOUND);
    CHECK(deleteGenericCredential(kTarget) == 0);
}

std::wstring tempFolder()
{
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    std::wstring folder =
        std::wstring(base) + L"tarvik-win32-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

// Wine 8.0 reports success from CreateSymbolicLinkW without creating a link,
// and shows host symbolic links as the files they point to, without
// FILE_ATTRIBUTE_REPARSE_POINT. So a link must match what the API says
// about it; whether the API sees the link at all is reported as a note.
void checkLink(const std::wstring& path, const char* what)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    const bool apiSaysReparse =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    CHECK(isReparsePoint(path) == apiSaysReparse);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        std::printf("note: %s: reported as created, but nothing exists at the path "
                    "(this Wine's CreateSymbolicLinkW creates nothing)\n",
                    what);
        return;
    }
    if (!apiSaysReparse)
        std::printf("note: %s: GetFileAttributesW gives 0x%lx without FILE_ATTRIBUTE_REPARSE_POINT "
                    "(this Wine does not report links as reparse points)\n",
                    what, attributes);
}

void reparsePoints()
{
    const std::wstring folder = tempFolder();
    const std::wstring file = folder + L"\\plain.txt";
    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    CHECK(h != INVALID_HANDLE_VALUE);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    CHECK(!isReparsePoint(file));
    CHECK(!isReparsePoint(folder));
    CHECK(!isReparsePoint(folder + L"\\missing.txt"));

    const std::wstring link = folder + L"\\link.txt";
    if (CreateSymbolicLinkW(link.c_str(), file.c_str(),
                            SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
        checkLink(link, "file link made with CreateSymbolicLinkW");
        DeleteFileW(link.c_str());
    } else {
        std::printf("note: CreateSymbolicLinkW failed with error %lu; file link not exercised\n",
                    GetLastError());
    }
    const std::wstring dirLink = folder + L"\\link-dir";
    if (CreateSymbolicLinkW(dirLink.c_str(), folder.c_str(),
                            SYMBOLIC_LINK_FLAG_DIRECTORY |
                                SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
        checkLink(dirLink, "folder link made with CreateSymbolicLinkW");
        RemoveDirectoryW(dirLink.c_str());
    } else {
        std::printf(
            "note: CreateSymbolicLinkW (folder) failed with error %lu; folder link not exercised\n",
            GetLastError());
    }
    // A link made by the host system (scripts/test-windows passes its path).
    wchar_t hostLink[MAX_PATH];
    if (GetEnvironmentVariableW(L"TARVIK_HOST_SYMLINK", hostLink, MAX_PATH) > 0)
        checkLink(hostLink, "link made by the host system");
    DeleteFileW(file.c_str());
    RemoveDirectoryW(folder.c_str());
}

// The long form: absolute, normalised, prefixed. (Files beyond 260
// characters: tst_fs and tst_game under Wine, see scripts/test-windows.)
void longPaths()
{
    const struct
    {
        const wchar_t* in;
        const wchar_t* out;
    } cases[] = {
        {L"C:\\a\\b", L"\\\\?\\C:\\a\\b"},
        {L"C:/a/./b/../c", L"\\\\?\\C:\\a\\c"},
        {L"\\\\server\\share\\x", L"\\\\?\\UNC\\server\\share\\x"},
        {L"\\\\?\\C:\\x\\..", L"\\\\?\\C:\\x\\.."},
        {L"\\\\.\\pipe\\x", L"\\\\.\\pipe\\x"},
        {L"", L""},
    };
    for (const auto& c : cases)
        check(longPath(c.in) == c.out, "longPath", __LINE__);
}

bool startChild(const std::wstring& self, int sleepMs, PROCESS_INFORMATION& info)
{
    std::wstring commandLine = L"\"" + self + L"\" --sleep " + std::to_wstring(sleepMs);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    return CreateProcessW(self.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &info) != FALSE;
}

void processWait()
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);

    // A process id that does not exist: OpenProcess fails with
    // ERROR_INVALID_PARAMETER, which means "already gone".
    const DWORD noSuchPid = 0x7FFFFFF0;
    CHECK(OpenProcess(SYNCHRONIZE, FALSE, noSuchPid) == nullptr);
    CHECK(GetLastError() == ERROR_INVALID_PARAMETER);
    CHECK(waitForProcessExit(noSuchPid, 1000) == ProcessWaitResult::NoSuchProcess);

    // A child that exits on its own.
    PROCESS_INFORMATION child{};
    CHECK(startChild(self, 300, child));
    if (child.hProcess) {
        CHECK(waitForProcessExit(child.dwProcessId, 20000) == ProcessWaitResult::Ended);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    }

    // The time-out path, shortened through the parameter.
    PROCESS_INFORMATION slow{};
    CHECK(startChild(self, 60000, slow));
    if (slow.hProcess) {
        const DWORD before = GetTickCount();
        CHECK(waitForProcessExit(slow.dwProcessId, 300) == ProcessWaitResult::TimedOut);
        CHECK(GetTickCount() - before >= 250);
        TerminateProcess(slow.hProcess, 1);
        CHECK(waitForProcessExit(slow.dwProcessId, 20000) == ProcessWaitResult::Ended);
        CloseHandle(slow.hThread);
        CloseHandle(slow.hProcess);
    }
    CHECK(waitForProcessExit(GetCurrentProcessId(), 50) == ProcessWaitResult::TimedOut);
}

struct SplitCase
{
    const wchar_t* commandLine;
    std::vector<std::wstring> expected;
};

void commandLine()
{
    const SplitCase cases[] = {
        {L"prog.exe a b", {L"prog.exe", L"a", L"b"}},
        {L"prog.exe \"a b\" c", {L"prog.exe", L"a b", L"c"}},
        {L"prog.exe \"\" x", {L"prog.exe", L"", L"x"}},
        {L"prog.exe a\\\\b", {L"prog.exe", L"a\\\\b"}},   // backslashes before no quote stay
        {L"prog.exe \"a\\\"b\"", {L"prog.exe", L"a\"b"}}, // \" is a literal quote
        {L"prog.exe \"C:\\dir\\\\\"", {L"prog.exe", L"C:\\dir\\"}}, // 2n backslashes + quote
        {L"prog.exe a\\\\\\\"b", {L"prog.exe", L"a\\\"b"}},         // 2n+1 backslashes + quote
        {L"\"C:\\Program Files\\Tarvik\\TarvikUpdater.exe\" --pid 4242",
         {L"C:\\Program Files\\Tarvik\\TarvikUpdater.exe", L"--pid", L"4242"}},
        {L"TarvikUpdater.exe --target \"C:\\Hry\\Příliš žluťoučký kůň\" --sha256 ab",
         {L"TarvikUpdater.exe", L"--target", L"C:\\Hry\\Příliš žluťoučký kůň", L"--sha256", L"ab"}},
    };
    for (const SplitCase& c : cases) {
        const std::vector<std::wstring> got = splitCommandLine(c.commandLine);
        const bool same = got == c.expected;
        check(same, "splitCommandLine", __LINE__);
        if (!same)
            std::wprintf(L"  command line: %ls (%zu arguments)\n", c.commandLine, got.size());
    }
    // Our own command line comes back as UTF-8 with the program first.
    const std::vector<std::string> own = commandLineArguments(0, nullptr);
    CHECK(!own.empty() && own.front().find("tst_win32") != std::string::npos);
}

std::string hexOf(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

// Published test vectors, fed in uneven pieces so that the running state
// across calls is exercised; a million "a" crosses every block boundary.
void digests()
{
    struct Vector
    {
        DigestAlgorithm algorithm;
        std::string input;
        const char* hex;
    };
    const std::string million(1000000, 'a');
    const Vector vectors[] = {
        {DigestAlgorithm::Sha1, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {DigestAlgorithm::Sha1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {DigestAlgorithm::Sha1, million, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {DigestAlgorithm::Sha256, "abc",
         "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {DigestAlgorithm::Sha256, million,
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {DigestAlgorithm::Sha512, "",
         "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
         "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
        {DigestAlgorithm::Sha512, million,
         "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
         "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
    };
    for (const Vector& v : vectors) {
        const std::unique_ptr<Digest> digest = Digest::create(v.algorithm);
        CHECK(digest != nullptr);
        if (!digest)
            continue;
        size_t at = 0;
        for (size_t piece = 1; at < v.input.size(); piece = piece * 3 + 1) {
            const size_t n = std::min(piece, v.input.size() - at);
            CHECK(digest->add(v.input.data() + at, n));
            at += n;
        }
        const std::string got = hexOf(digest->finish());
        check(got == v.hex, v.hex, __LINE__);
    }
}

std::string bytesFromHex(const std::string& hex)
{
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

// One signature made with `openssl dgst -sha256 -sign` (a throwaway P-256
// key) over `message`, and one case per way it can be wrong.
void signatures()
{
    const std::string prefix = "3059301306072a8648ce3d020106082a8648ce3d03010703420004";
    const std::string a = bytesFromHex(prefix + "0c2123c9ee42ea7bfc63854c464f754b69f5abc99708fe2c16"
                                                "079c1021834984dba54f4bda21e715e84e4fb1179f95cae67d"
                                                "eb01629f33997e2e534fc790bbcf");
    const std::string b = bytesFromHex(prefix + "30041afbf7634e4c6e983ad2e9f26630e0ee2ecb7da91e1fa6"
                                                "8ed28fd8b245cbafe09caa468d11f0f954c1afc8d02e61a6c5"
                                                "9374dbf1c6a05a8d7affd0d36ea4");
    const std::string r = "f7403eff61af91f2457e6f707fc6330ce292ccb28ac46de9672292342a80cfca";
    const std::string s = "7837bda13be83c4952bd38603b51a90e53c18bdeee6e3e2db6c9ea8e77e59eb6";
    const std::string message = "{\"schema\":1}";
    const std::string good = bytesFromHex("3045022100" + r + "0220" + s);
    const struct
    {
        const char* name;
        std::string key, message, signature;
        bool valid;
    } cases[] = {
        {"good signature", a, message, good, true},
        {"another key", b, message, good, false},
        {"other bytes", a, message + " ", good, false},
        {"truncated", a, message, good.substr(0, good.size() - 1), false},
        {"empty", a, message, "", false},
        {"garbage", a, message, std::string(72, '0'), false},
        {"trailing byte", a, message, good + std::string(1, '\0'), false},
        {"superfluous zero", a, message, bytesFromHex("3046022100" + r + "022100" + s), false},
        {"negative integer", a, message, bytesFromHex("30440220" + r + "0220" + s), false},
        {"malformed key", a.substr(0, a.size() - 1), message, good, false},
    };
    for (const auto& c : cases) {
        check(verifyEcdsaP256Sha256(c.key, c.message.data(), c.message.size(), c.signature) ==
                  c.valid,
              c.name, __LINE__);
    }
}

void errorBox()
{
    // Compiled and linked, never shown: a test cannot click it away.
    void (*box)(const std::string&, const std::string&) = &showErrorBox;
    CHECK(box != nullptr);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 3 && std::wcscmp(argv[1], L"--sleep") == 0) {
        Sleep(static_cast<DWORD>(_wtoi(argv[2])));
        return 0;
    }
    credentials();
    reparsePoints();
    longPaths();
    processWait();
    commandLine();
    errorBox();
    digests();
    signatures();
    std::printf("win32: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
