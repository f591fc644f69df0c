#pragma once

// The reference directory/authorisation service (tools/vorn_service.py) started for one test, held by its
// lifeline (lifeline_program.h): it reports its bound ports there and stops when the object goes.

#include "tests/support/lifeline_program.h"
#include "tests/support/process_probe.h"

#include <cstdint>
#include <string>
#include <vector>

namespace probe {

class ReferenceService {
public:
    // `arguments` are the service's options (see its --help); the lifeline and the log file are added here.
    // Give "--directory-port", "0" unless the test needs the launcher's fixed directory port.
    explicit ReferenceService(const std::vector<std::wstring>& arguments);

    bool running() const { return program_.running(); }
    // Why it did not start: the service's own words, or what the harness saw.
    const std::string& failure() const { return program_.failure(); }
    std::uint16_t directoryPort() const { return directoryPort_; }
    const std::vector<std::uint16_t>& authPorts() const { return authPorts_; }
    // The request log so far (UTF-8).
    std::string Log() const;
    // A file in the service's own folder, e.g. for a regions file, as a Windows path.
    std::wstring FilePath(const std::wstring& name) const { return folder_ / name; }

private:
    TempDir folder_;
    LifelineProgram program_;
    std::uint16_t directoryPort_ = 0;
    std::vector<std::uint16_t> authPorts_;
};

// A random address of 127.0.0.0/8 other than 127.0.0.1, so that a test can own a fixed port (the directory's
// 33556) there without meeting other programs on the machine.
std::string RandomLoopbackAddress();

}
