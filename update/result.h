#pragma once

// The one way a step of the update floor fails: it answers with a Result, which holds what the step brings or
// the failure's message for the player. A step that brings nothing answers with a Status. Nothing of the floor
// throws past the file that throws.

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace vorn {

// A failed step: the message the player reads, whole.
struct Failure {
    std::wstring message;
};

// The message of a failure of which nothing more is known than that the update could not go on with the client
// folder.
inline constexpr wchar_t kGeneralFailureMessage[] = L"更新失败。请检查客户端目录写入权限及文件路径。";

template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::move(value)) {}
    Result(Failure failure) : state_(std::move(failure)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }
    // The value; only when ok().
    T& operator*() { return std::get<0>(state_); }
    const T& operator*() const { return std::get<0>(state_); }
    T* operator->() { return &std::get<0>(state_); }
    const T* operator->() const { return &std::get<0>(state_); }
    // The failure's message; empty when ok().
    const std::wstring& message() const
    {
        static const std::wstring none;
        return ok() ? none : std::get<1>(state_).message;
    }
    Failure failure() const { return Failure{message()}; }

private:
    std::variant<T, Failure> state_;
};

// The result of a step that brings nothing: done, or failed with a message.
class [[nodiscard]] Status {
public:
    Status() = default;
    Status(Failure failure) : failure_(std::move(failure)) {}

    bool ok() const { return !failure_.has_value(); }
    explicit operator bool() const { return ok(); }
    const std::wstring& message() const
    {
        static const std::wstring none;
        return failure_ ? failure_->message : none;
    }
    Failure failure() const { return Failure{message()}; }

private:
    std::optional<Failure> failure_;
};

}
