// varen-stt-server: the reference recognition server.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "Models.h"
#include "Options.h"
#include "Server.h"

int main(int argc, char** argv) {
    using namespace varen::server;
    ParsedCommandLine parsed = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.error) {
        std::cerr << "varen-stt-server: " << *parsed.error << "\n" << usageText();
        return 2;
    }
    if (parsed.help) {
        std::cout << usageText();
        return 0;
    }
    if (parsed.version) {
        std::cout << "varen-stt-server " << VARENSTT_SERVER_VERSION << "\n";
        return 0;
    }
    // A peer that goes away while a response is being written must not end the process.
    std::signal(SIGPIPE, SIG_IGN);

    ServerOptions options = parsed.options;
    if (options.models.empty()) options.models = defaultModelsFolder();
    try {
        auto models = std::make_shared<ModelRegistry>(options.models);
        Server server(options, models, [](const std::string& line) {
            std::fprintf(stderr, "%s\n", line.c_str());
            std::fflush(stderr);
        });

        // Signals are waited for on a thread of their own, so that stopping never waits for the
        // network thread to be idle.
        boost::asio::io_context signals;
        boost::asio::signal_set set(signals, SIGINT, SIGTERM);
        set.async_wait([&server](const boost::system::error_code& error, int) {
            if (!error) server.stop();
        });
        std::thread signalThread([&signals] { signals.run(); });

        auto endpoint = server.localEndpoint();
        std::string models_list;
        for (const auto& name : models->names()) models_list += " " + name;
        std::fprintf(stderr, "models:%s\n", models_list.c_str());
        std::fprintf(stderr, "listening on %s:%u\n", endpoint.address().to_string().c_str(),
                     static_cast<unsigned>(endpoint.port()));
        std::fflush(stderr);

        bool finished = server.run();
        signals.stop();
        signalThread.join();
        if (!finished) {
            // A worker is deep inside the recogniser: the process ends without it.
            std::fprintf(stderr, "stopped while decoding was still under way\n");
            std::fflush(stderr);
            std::_Exit(0);
        }
    } catch (const std::exception& error) {
        std::cerr << "varen-stt-server: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
