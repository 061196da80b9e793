#include "cable.h"

#include "console.h"
#include "directory.h"
#include "calculator_name.h"
#include "charset.h"
#include "port.h"
#include "port_choice.h"
#include "string_object.h"
#include "text_forms.h"
#include "transfer.h"

#include <chrono>
#include <csignal>
#include <cstdio>

namespace korrin {

namespace {

volatile std::sig_atomic_t stop = 0;

extern "C" void stop_transfer(int)
{
    stop = 1;
}

// Ctrl-C, a hangup or a termination during a transfer stop it: the line
// then tells the calculator, so that it does not wait on, before the run
// ends.
struct stopping {
    void (*before[3])(int);
};

stopping stop_on_signals()
{
    stopping old = {};
    const int signals[] = {SIGINT, SIGTERM,
#ifdef SIGHUP
                           SIGHUP
#else
                           SIGINT
#endif
    };
    for (int i = 0; i < 3; ++i)
        old.before[i] = std::signal(signals[i], stop_transfer);
    return old;
}

void restore_signals(const stopping& old)
{
    std::signal(SIGINT, old.before[0]);
    std::signal(SIGTERM, old.before[1]);
#ifdef SIGHUP
    std::signal(SIGHUP, old.before[2]);
#endif
}

// One line, rewritten in place at most ten times a second, on a terminal
// only: what was done, of how much, how fast and how long is left.
line_progress progress_line(const char* verb)
{
    if (quiet_run() || !stdout_is_terminal())
        return nullptr;
    const auto start = std::chrono::steady_clock::now();
    auto last = start - std::chrono::seconds(1);
    return [=](std::size_t done, std::size_t total) mutable {
        const auto now = std::chrono::steady_clock::now();
        if (now - last < std::chrono::milliseconds(100) && done != total)
            return;
        last = now;
        const double seconds = std::chrono::duration<double>(now - start).count();
        const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
        if (total == 0) {
            report("\r%s %zu bytes, %.0f bytes/s   ", verb, done, rate);
            return;
        }
        const double left = rate > 0 ? static_cast<double>(total - done) / rate : 0;
        report("\r%s %zu of %zu bytes, %zu%%, %.0f bytes/s, %.0f s left   ", verb, done, total,
               done * 100 / total, rate, left);
    };
}

// Where the calculator waits for what the arguments ask of it.
const char* waited_in(const Arguments& arguments)
{
    if (sends(arguments))
        return arguments.kermit ? "its server or RECV" : arguments.xmodem ? "XRECV or its XModem server"
                                                                          : "its server, RECV or XRECV";
    if (!arguments.get.empty() || arguments.act == line_act::list)
        return arguments.xmodem ? "its XModem server" : "its server";
    return arguments.xmodem ? "XSEND" : "SEND";
}

// On a terminal, what the program waits for and where, until the
// progress line takes its place.
void say_waiting(const Arguments& arguments, const std::string& port_name)
{
    if (!quiet_run() && stdout_is_terminal())
        report(waiting_line, shown_text(port_name).c_str(), waited_in(arguments));
}

// The protocol the arguments ask for: the one forced, or for a send or a
// server's command, whichever the calculator waits in.
line_protocol protocol_of(const Arguments& arguments)
{
    if (arguments.kermit)
        return line_protocol::kermit;
    if (arguments.xmodem)
        return line_protocol::xmodem;
    const bool asks_a_server = arguments.act != line_act::receive || !arguments.get.empty();
    return asks_a_server ? line_protocol::any : line_protocol::kermit;
}

// Why a transfer failed, in words a calculator owner can act on.
int transfer_failed(const transfer_result& result, const Arguments& arguments, const std::string& port)
{
    if (stdout_is_terminal() && !quiet_run())
        print("\n");
    switch (result.end) {
    case transfer_end::no_answer:
        return refuse(no_answer, waited_in(arguments), arguments.baud);
    case transfer_end::peer_error:
        return refuse(calculator_said, shown_text(utf8_of(result.peer_text)).c_str());
    case transfer_end::too_many_retries:
        return refuse(line_failing, shown_text(port).c_str());
    case transfer_end::cancelled:
        return refuse(calculator_cancelled);
    case transfer_end::too_large:
        return refuse(sent_too_much);
    case transfer_end::missing:
        return refuse(no_such_variable, shown_text(arguments.get).c_str());
    case transfer_end::refused:
        return refuse(not_taken, result.peer_text.c_str());
    case transfer_end::line_cut:
        return fail(result.error, shown_text(port), line_cut, shown_text(port).c_str());
    case transfer_end::interrupted:
        return refuse(transfer_stopped);
    case transfer_end::done:
        break;
    }
    return 0;
}

// The port opened at the speed asked for; or the exit status of the
// refusal.
int open_line(const Arguments& arguments, const std::string& port_name, serial_port& port)
{
    if (!is_supported_baud(arguments.baud))
        return refuse(bad_baud, arguments.baud, speeds_text().c_str());
    if (const std::error_code error = open_port(port_name, arguments.baud, port)) {
        const std::string shown = shown_text(port_name);
        fail(error, shown, opening_failed, shown.c_str());
        explain_port_failure(error, port_name, arguments.baud);
        return 1;
    }
    return 0;
}

// The port closed after a transfer: the exit status of its failure, or 0
// with the progress line, if any, ended.
int close_line(serial_port& port, const transfer_result& result, const Arguments& arguments,
               const std::string& port_name, bool progress)
{
    close_port(port);
    if (result.end != transfer_end::done)
        return transfer_failed(result, arguments, port_name);
    if (progress)
        print("\n");
    return 0;
}

// Opens the port the arguments name, runs `transfer` over it with the
// signals caught, and closes it: the exit status, with `result` what the
// transfer gave.  Signals stay caught until the port is closed, so that
// one while the last bytes leave cannot end the run with the port not put
// back.
template <typename Transfer>
int over_the_line(const Arguments& arguments, bool progress, Transfer transfer, transfer_result& result)
{
    serial_port port;
    if (const int status = open_line(arguments, arguments.port, port))
        return status;
    say_waiting(arguments, arguments.port);
    const stopping old = stop_on_signals();
    line_io line = port_line(port);
    result = transfer(line);
    const int closed = close_line(port, result, arguments, arguments.port, progress);
    restore_signals(old);
    return closed;
}

// A kind as --list shows it: the calculator's own words from the Kermit
// server, in lower case; from the XModem server, the kind its prolog marks.
std::string listed_kind(const listed_variable& variable)
{
    std::string kind = utf8_of(variable.type);
    for (char& c : kind)
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    if (!kind.empty())
        return kind;
    // Every prolog of the calculator's objects is 02xxx hex: its low 16
    // bits, which the server lists, are the whole of it.
    const std::uint32_t prolog = variable.prolog;
    if (prolog == string_prolog)
        return "string";
    const char* const named = object_kind(prolog);
    if (!named) {
        char unknown[32];
        std::snprintf(unknown, sizeof unknown, "prolog %05X", static_cast<unsigned>(prolog));
        return unknown;
    }
    const std::string_view words = named;
    return std::string(words.substr(words.find(' ') + 1));
}

// What was sent, and what the server holds of each file, as its check
// found: the exit status.
int report_sent(const std::vector<outgoing>& files, const transfer_result& result, bool finish)
{
    for (const outgoing& file : files)
        report(result.way == calculator_wait::xmodem_server ? sent_to_server : sent_line_text, file.name.c_str(),
               file.object.size());
    if (finish && !result.server_finished)
        warn(not_finished);
    for (std::size_t i = 0; i < files.size(); ++i) {
        const sent_file& sent = result.sent[i];
        const char* const name = files[i].name.c_str();
        if (sent.check == check_outcome::unanswered || sent.check == check_outcome::not_asked) {
            report("%s", not_checked);
            return 0;
        }
        if (sent.check == check_outcome::absent)
            return refuse(check_absent, name);
        if (!held_as_sent(sent))
            return refuse(check_differs, name, shown_text(utf8_of(sent.entry_type)).c_str(),
                          static_cast<unsigned>(sent.entry_checksum), static_cast<unsigned>(sent.sent_checksum));
        // The XModem server stores a put onto a name that is taken as NAME.1.
        if (!sent.entry_name.empty() && sent.entry_name != files[i].stored)
            report(checked_beside, shown_text(utf8_of(sent.entry_name)).c_str(),
                   static_cast<unsigned>(sent.entry_checksum), name);
        else
            report(checked_line, name, static_cast<unsigned>(sent.entry_checksum));
    }
    return 0;
}

}  // namespace

int send_to_calculator(const Arguments& arguments, const std::vector<outgoing>& files)
{
    send_options options;
    options.protocol = protocol_of(arguments);
    options.finish = arguments.finish;
    options.abort = &stop;
    options.progress = progress_line("Sent");
    if (options.progress)
        options.checking = [] { print(checking_line); };
    std::vector<outgoing_file> batch;
    for (const outgoing& file : files)
        batch.push_back({file.stored, file.object});
    transfer_result result;
    if (const int status = over_the_line(
            arguments, options.progress != nullptr,
            [&](line_io& line) { return send_objects(line, options, batch); }, result)) {
        // Of several files, the one that failed, and those sent whole.
        if (files.size() > 1 && result.files_done < files.size())
            note("%s was not sent whole; %zu of %zu files before it were.", files[result.files_done].name.c_str(),
                 result.files_done, files.size());
        return status;
    }
    if (result.way == calculator_wait::xrecv) {
        report(sent_by_xmodem, files.front().object.size());
        report("%s", not_checked);
        return 0;
    }
    return report_sent(files, result, arguments.finish);
}

int receive_from_calculator(const Arguments& arguments, std::vector<received_file>& files, std::size_t& whole)
{
    whole = 0;
    receive_options options;
    options.protocol = protocol_of(arguments);
    // The variable asked for, in the calculator's characters where it has
    // them all.
    const std::string stored = stored_name(arguments.get);
    options.get = stored.empty() ? arguments.get : stored;
    options.abort = &stop;
    options.progress = progress_line("Received");
    transfer_result result;
    const int closed = over_the_line(
        arguments, options.progress != nullptr,
        [&](line_io& line) { return receive_objects(line, options, files); }, result);
    whole = result.files_done;
    // A server that has nothing to send for a get answers with an ACK.
    if (closed == 0 && !arguments.get.empty() && whole == 1 && files.front().bytes.empty()) {
        whole = 0;
        return refuse(sent_nothing, shown_text(arguments.get).c_str());
    }
    // The names came in the calculator's characters, from a peer that may
    // send anything: each is shown escaped, and a string asked for by name
    // is saved under that name, whatever name the server answered with.
    for (std::size_t i = 0; i < files.size(); ++i) {
        files[i].name = utf8_of(files[i].name);
        // XModem carries no name.
        if (i < whole && files[i].name.empty())
            report(received_unnamed, files[i].bytes.size());
        else if (i < whole)
            report(received_line, shown_text(files[i].name).c_str(), files[i].bytes.size());
        if (!arguments.get.empty())
            files[i].name = arguments.get;
    }
    return closed;
}

int list_calculator(const Arguments& arguments)
{
    receive_options options;
    options.protocol = protocol_of(arguments);
    options.abort = &stop;
    std::vector<listed_variable> variables;
    transfer_result result;
    if (const int closed = over_the_line(
            arguments, false, [&](line_io& line) { return list_variables(line, options, variables); }, result))
        return closed;
    std::string listing;
    for (const listed_variable& variable : variables) {
        // Every text of the listing came from the calculator: escaped.
        listing += format_text(listed_line, shown_text(utf8_of(variable.name)).c_str(),
                               shown_text(listed_kind(variable)).c_str(), shown_text(variable.size).c_str(),
                               static_cast<unsigned>(variable.checksum));
    }
    return print_product(listing);
}

}  // namespace korrin
