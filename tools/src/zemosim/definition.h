// An instrument's definition: what a small text file says the simulated instrument is and does,
// read one line at a time, each line starting with a keyword.
#pragma once

#include <chrono>
#include <cstdint>
#include <istream>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace zemosim {

using Milliseconds = std::chrono::milliseconds;

struct Definition {
    struct Property {
        std::string initial;
        std::string value;
    };
    struct DelayedQuery {
        Milliseconds delay;
        std::string response;
    };
    // A reading that changes: every answer is drawn evenly from mean - spread to mean + spread,
    // by a pseudo-random sequence that SEED fixes, the same on every run.
    struct Reading {
        double mean = 0;
        double spread = 0;
        std::uint64_t seed = 1;
    };

    // The VXI-11 device name; empty until the definition or the server gives one.
    std::string name;
    // The HiSLIP sub-address; empty until the definition or the server gives one.
    std::string hislipName;
    std::string identity = "ZEMO,zemosim,0,1.0";
    // Keys are the command headers in upper case.
    std::map<std::string, std::string> queries;
    std::map<std::string, Property> properties;
    std::map<std::string, DelayedQuery> delayedQueries;
    std::map<std::string, Reading> readings;
    std::set<std::string> drops;
    // Commands after which the connection closes, once the VXI-11 reply is sent.
    std::set<std::string> hangUps;
    std::map<std::string, int> faults;
    // Commands after which the VXI-11 reply is withheld this long.
    std::map<std::string, Milliseconds> stalls;
    std::optional<std::string> errorResponse;
    // What each trigger runs, as a line sent by the connection that triggered; empty for nothing.
    std::string triggerAction;
    // What create_link reports as the most bytes one device_write may carry.
    std::uint32_t maxRecvSize = 1U << 20;
    // The most bytes one device_read reply carries.
    std::uint32_t readChunk = 1U << 20;
};

// Reads a definition; NAME (the file's name) prefixes every error. Throws std::runtime_error
// "NAME:LINE: reason" for a line it does not understand.
Definition parseDefinition(std::istream& input, const std::string& name);

} // namespace zemosim
