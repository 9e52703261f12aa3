// ZV::Error: the failure report that the file and stream layers hand back.
//
// Always held by std::shared_ptr<ZV::Error> and never changed after it is
// made, so one report may be shared between threads and layers freely.
// Domains in use: "ZV::SYSTEM" (code = a C runtime errno value), "ZV::Zip"
// (the zip entry reader) and "ZV::DiskImager" (the disk-image writer).
#pragma once

#include <any>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

#include "foundation/u8string.h"

namespace ZV {

class Error {
public:
    using UserInfo = std::unordered_map<std::string, std::any>;

    Error(std::string domain, int code, zorvant::u8string description, UserInfo userInfo = UserInfo())
        : domain_(std::move(domain)), description_(std::move(description)), code_(code),
          userInfo_(std::move(userInfo))
    {
    }

    const std::string &domain() const { return domain_; }               // which layer the code belongs to
    const zorvant::u8string &description() const { return description_; } // human text
    int code() const { return code_; }                                   // the number within the domain
    const UserInfo &userInfo() const { return userInfo_; }               // extra details, usually empty

private:
    const std::string domain_;
    const zorvant::u8string description_;
    const int code_;
    const UserInfo userInfo_;
};

// Stores a new error made of the three values in *out. A NULL out does
// nothing. A NULL description (with a non-NULL out) throws
// std::invalid_argument "u8string NULL", as the string type does, and leaves
// *out unchanged; invalid UTF-8 in it throws utf8::invalid_utf8.
inline void setError(std::shared_ptr<Error> *out, const std::string &domain, int code, const char *description)
{
    if (out == nullptr)
        return;
    *out = std::make_shared<Error>(domain, code, zorvant::u8string(description));
}

} // namespace ZV
