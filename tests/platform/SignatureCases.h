// The signature cases shared by tst_platform (OpenSSL here, CNG in the
// Windows build) and tst_win32 (CNG under Wine): one signature made with
// `openssl dgst -sha256 -sign tests/data/keys/operator-a.pem` over kMessage,
// and one row per way it can be wrong. Qt-free.
#pragma once

#include <string>
#include <vector>

namespace tarvik::test {

struct SignatureCase
{
    const char* name;
    std::string key; // DER SubjectPublicKeyInfo
    std::string message;
    std::string signature; // DER
    bool valid;
};

inline std::string bytesFromHex(const std::string& hex)
{
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

inline std::vector<SignatureCase> signatureCases()
{
    const std::string keyPrefix = "3059301306072a8648ce3d020106082a8648ce3d03010703420004";
    const std::string a =
        bytesFromHex(keyPrefix + "0c2123c9ee42ea7bfc63854c464f754b69f5abc99708fe2c16"
                                 "079c1021834984dba54f4bda21e715e84e4fb1179f95cae67d"
                                 "eb01629f33997e2e534fc790bbcf");
    const std::string b =
        bytesFromHex(keyPrefix + "30041afbf7634e4c6e983ad2e9f26630e0ee2ecb7da91e1fa6"
                                 "8ed28fd8b245cbafe09caa468d11f0f954c1afc8d02e61a6c5"
                                 "9374dbf1c6a05a8d7affd0d36ea4");
    const std::string r = "f7403eff61af91f2457e6f707fc6330ce292ccb28ac46de9672292342a80cfca";
    const std::string s = "7837bda13be83c4952bd38603b51a90e53c18bdeee6e3e2db6c9ea8e77e59eb6";
    const std::string message = "{\"schema\":1}";
    const std::string good = bytesFromHex("3045022100" + r + "0220" + s);
    return {
        {"good signature", a, message, good, true},
        {"another key", b, message, good, false},
        {"other bytes", a, message + " ", good, false},
        {"truncated", a, message, good.substr(0, good.size() - 1), false},
        {"empty", a, message, "", false},
        {"garbage", a, message, std::string(72, '0'), false},
        {"trailing byte", a, message, good + std::string(1, '\0'), false},
        {"integer with a superfluous zero", a, message,
         bytesFromHex("3046022100" + r + "022100" + s), false},
        {"negative integer", a, message, bytesFromHex("30440220" + r + "0220" + s), false},
        {"malformed key", a.substr(0, a.size() - 1), message, good, false},
    };
}

} // namespace tarvik::test
