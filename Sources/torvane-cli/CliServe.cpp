// serve: the review desk on this machine, over the sessions of a data folder.
#include <iostream>

#include "Cli.h"
#include "Desk.h"
#include "Torvane/platform/HttpServer.h"

namespace torvane::cli {

namespace {

bool isLoopbackAddress(const std::string& host) {
    return host == "127.0.0.1" || host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

int serve(const Args& a) {
    const std::string host = a.optional("--host").value_or("127.0.0.1");
    std::optional<int> port;
    if (auto text = a.optional("--port")) {
        const long long value = parseInteger(*text, "--port");
        if (value < 0 || value > 65535) throw UsageError("--port must be between 0 and 65535");
        port = static_cast<int>(value);
    }
    // Signals are taken by this thread alone, so every thread started below blocks them.
    platform::blockTerminationSignals();

    // Discovery and the analyses it runs talk on stderr: stdout carries the address alone.
    std::streambuf* stdoutBuffer = std::cout.rdbuf(std::cerr.rdbuf());
    struct Restore {
        std::streambuf* buffer;
        ~Restore() { std::cout.rdbuf(buffer); }
    } restore{stdoutBuffer};

    desk::Desk desk(a.at(0), std::cerr);
    desk.discover();
    desk::DeskServer server(desk);
    const int bound = server.start(host, port);
    if (!isLoopbackAddress(host))
        std::cerr << "Warning: the desk is reachable from other machines at " << host << ":" << bound
                  << "; anyone with the address and its token can change reviews." << std::endl;
    {
        std::ostream out(stdoutBuffer);
        out << "Open " << desk.openURL() << std::endl;
    }
    const int signal = platform::waitForTermination();
    std::cerr << "Stopping (signal " << signal << "): finishing saves in progress." << std::endl;
    server.stop();
    std::cerr << "Stopped." << std::endl;
    return 0;
}

}  // namespace

std::vector<Command> serveCommands() {
    return {
        {"serve", "", "DATA_DIR [--port N] [--host ADDR]",
         "Find the sessions of a data folder as discover does, then serve the review desk; prints the address to "
         "open. Default 127.0.0.1 and the first free port from 8750; --port 0 lets the system choose.",
         {}, {"--port", "--host"}, 1, serve},
    };
}

}  // namespace torvane::cli
