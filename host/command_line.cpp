#include "host/command_line.h"

#include <cstdlib>

#include "platform/text.h"

namespace vt::host {

namespace {

// The flags every command takes.
const std::set<std::u16string> kGlobalFlags = {u"--help", u"--plain", u"--quiet"};
// The options with a value, given as the next argument or after "=".
const std::set<std::u16string> kValued = {
    u"--imei",          u"--alias",    u"--phone",   u"--phone-options", u"--module",
    u"--timeout",       u"--unset",    u"--progid",  u"--listen",        u"--user",
    u"--password-file", u"--tls-cert", u"--tls-key", u"--trace",         u"--idle-timeout"};

}  // namespace

bool isGlobalFlag(const std::u16string& option) {
    return kGlobalFlags.count(option) > 0;
}

bool parseCommandLine(const std::vector<std::u16string>& args, CommandLine* cl,
                      std::u16string* error) {
    bool onlyPositional = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::u16string a = args[i];
        if (onlyPositional || a.size() < 2 || a[0] != u'-' || a == u"-") {
            if (cl->command.empty())
                cl->command = a;
            else
                cl->positional.push_back(a);
            continue;
        }
        if (a == u"--") {
            onlyPositional = true;
            continue;
        }
        if (a == u"-h") a = u"--help";
        std::optional<std::u16string> value;
        if (size_t eq = a.find(u'='); eq != std::u16string::npos) {
            value = a.substr(eq + 1);
            a = a.substr(0, eq);
        }
        if (kValued.count(a)) {
            if (!value) {
                if (i + 1 >= args.size()) {
                    *error = a + u" needs a value";
                    return false;
                }
                value = args[++i];
            }
            auto phoneField = [&](std::optional<std::u16string> PhoneArgs::*field) {
                // --imei opens a new phone; so does a field the current phone already has.
                if (cl->phones.empty() || (cl->phones.back().*field) ||
                    (field == &PhoneArgs::imei &&
                     (cl->phones.back().imei || cl->phones.back().alias ||
                      cl->phones.back().store || cl->phones.back().options)))
                    cl->phones.emplace_back();
                cl->phones.back().*field = *value;
            };
            if (a == u"--imei")
                phoneField(&PhoneArgs::imei);
            else if (a == u"--alias")
                phoneField(&PhoneArgs::alias);
            else if (a == u"--phone")
                phoneField(&PhoneArgs::store);
            else if (a == u"--phone-options")
                phoneField(&PhoneArgs::options);
            else if (a == u"--module")
                cl->module = *value;
            else if (a == u"--progid")
                cl->progId = *value;
            else if (a == u"--unset")
                cl->unset = *value;
            else if (a == u"--listen")
                cl->listen = *value;
            else if (a == u"--tls-cert")
                cl->tlsCert = *value;
            else if (a == u"--tls-key")
                cl->tlsKey = *value;
            else if (a == u"--trace")
                cl->trace = *value;
            else if (a == u"--user")
                cl->user = *value;
            else if (a == u"--password-file")
                cl->passwordFile = *value;
            else if (a == u"--idle-timeout")
                cl->idleTimeout = *value;
            else if (a == u"--timeout") {
                const std::string t = toUtf8(*value);
                char* end = nullptr;
                long n = std::strtol(t.c_str(), &end, 10);
                if (t.empty() || *end != 0 || n <= 0 || n > 86400) {
                    *error = u"--timeout needs a number of seconds (1 to 86400)";
                    return false;
                }
                cl->timeoutSeconds = static_cast<int>(n);
            }
            continue;
        }
        if (value) {
            *error = a + u" takes no value";
            return false;
        }
        cl->flags.insert(a);
    }
    return true;
}

int timeoutMs(const CommandLine& cl) {
    return cl.timeoutSeconds * 1000;
}

}  // namespace vt::host
