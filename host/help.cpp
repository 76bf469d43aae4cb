#include "host/help.h"

#include "host/command_support.h"
#include "host/command_table.h"
#include "platform/format.h"

namespace vt::host {

namespace {

constexpr char16_t kPhoneHelp[] =
    u"Phone options:\n"
    u"  --imei IMEI           the phone's IMEI (default 350000000000001)\n"
    u"  --alias ALIAS         its name; its PC notes are in <Root>/ALIAS/<notes folder>\n"
    u"                        (default: the alias recorded for the IMEI, else \"phone\")\n"
    u"  --phone DIR           the virtual phone's store: a folder with one file per note\n"
    u"                        (default: the recorded one, else\n"
    u"                        $VANTREL_HOME/phones-device/ALIAS, or\n"
    u"                        ~/.local/share/vantrel/phones-device/ALIAS without VANTREL_HOME)\n"
    u"  --phone-options TEXT  the virtual phone's fault and pacing settings, e.g.\n"
    u"                        \"delay-ms=10,refuse-status=2\" (see docs/host.md)\n"
    u"  --progid PROGID       create the module's objects from this ProgID, e.g.\n"
    u"                        \"Vantrel.NotesSml\", instead of the plug-in registered for\n"
    u"                        \"Notes\" (not for status)\n"
    u"A phone once synchronised keeps its alias and store; giving others is refused.\n";

constexpr char16_t kGlobalHelp[] =
    u"Options of every command:\n"
    u"  --help, -h            this help\n"
    u"  --plain               progress as plain lines, also on a terminal\n"
    u"  --quiet               no progress display\n"
    u"  --timeout SECONDS     how long a session may take before it is cancelled (300)\n";

}  // namespace

const CommandHelp kRegisterHelp = {
    u"vantrel register [MODULE]",
    u"register the module as the plug-in for \"Notes\"",
    u"Loads MODULE (default: --module, else the module this build made) and calls its\n"
    u"DllRegisterServer, which writes the plug-in's registration into the registry.\n"
    u"When \"Current Language\" is not set, sets it to your locale's language if there is\n"
    u"a language file for it, else to \"en\".\n",
};

const CommandHelp kUnregisterHelp = {
    u"vantrel unregister [--module MODULE]",
    u"remove the module's registration",
    u"Loads the registered module (or MODULE) and calls its DllUnregisterServer.\n",
};

const CommandHelp kConfigHelp = {
    u"vantrel config [NAME [VALUE]] | vantrel config --unset NAME",
    u"show or set \"Root\", \"Logging Levels\", \"Current Language\"",
    u"Without NAME shows all three settings; with NAME shows one; with VALUE sets it.\n"
    u"NAME is the value's name or its short form: root, logging, language.\n"
    u"  Root              the PC folder with one folder per phone alias (made when missing)\n"
    u"  Logging Levels    switches the module's log on (Vantrel.lgt in $TMP or /tmp),\n"
    u"                    e.g. \"LOG_TRACING\"; --unset switches it off\n"
    u"  Current Language  e.g. \"en\" (notes folder \"Notes\") or \"de\" (\"Notizen\");\n"
    u"                    a change renames the notes folder of every known phone, or\n"
    u"                    changes nothing when one can't be renamed\n",
};

const CommandHelp kSyncHelp = {
    u"vantrel sync [PHONE OPTIONS]... [--all]",
    u"two-way synchronisation with one or more phones",
    u"Synchronises each phone named by the phone options (repeat --imei for more phones;\n"
    u"all run at once in this process), or every known phone with --all. Creates the\n"
    u"phone's folder <Root>/ALIAS when Root exists. Prints progress and a summary.\n",
};

const CommandHelp kExportHelp = {
    u"vantrel export [PHONE OPTIONS]",
    u"run one session and wait for its end (ExportDataFromPhone)",
    u"Runs one complete session with the phone and returns when it has ended.\n",
};

const CommandHelp kReadOutHelp = {
    u"vantrel read-out DIR [PHONE OPTIONS]",
    u"write every note as last exchanged with the phone into DIR",
    u"Writes the module's copy of every note (as last exchanged with the phone) into\n"
    u"DIR, which is created when missing. The phone must be known.\n",
};

const CommandHelp kImportHelp = {
    u"vantrel import [--replace] [--item-overwrite] FILE... [PHONE OPTIONS]",
    u"import note files into the PC folder and send them to the phone",
    u"Hands every FILE to the module (WriteDataIn), then moves them into the notes folder\n"
    u"and synchronises (ImportDataToPhone).\n"
    u"  --replace          delete the notes that were there before (on the phone too)\n"
    u"  --item-overwrite   give the notes their file names, replacing notes of that name;\n"
    u"                     without it they get neutral names (untitled.txt, ...)\n"
    u"A FILE whose name does not end in .txt gets .txt added to its item name.\n",
};

const CommandHelp kStatusHelp = {
    u"vantrel status [--imei IMEI]",
    u"show the registration, the settings and the phones known",
    u"Shows the registered module, the settings, and for every phone this host has\n"
    u"synchronised (or the one named) its folders, note counts and last session.\n",
};

const CommandHelp kDemoHelp = {
    u"vantrel demo [--module MODULE]",
    u"a guided tour in a fresh sandbox",
    u"Makes a fresh sandbox in the temporary folder (VANTREL_HOME), registers the module,\n"
    u"creates notes on the PC and on a virtual phone, synchronises, edits both sides (an\n"
    u"edit, a delete, a conflict), synchronises again and shows both folders each time.\n",
};

const CommandHelp kServeHelp = {
    u"vantrel serve [--listen ADDR:PORT] [--tls-cert FILE --tls-key FILE] [--trace DIR]\n"
    u"              [--idle-timeout SECONDS]",
    u"be the SyncML server for phones and SyncML clients",
    u"Runs the SyncML server (OMA DS 1.2 over HTTP, datastore \"Notes\", text/plain) in the\n"
    u"foreground until Ctrl-C or SIGTERM, with a line per session. Clients use the URL\n"
    u"http://ADDR:PORT/sync (https:// with TLS). Only devices added with\n"
    u"`vantrel device add` may sync.\n"
    u"  --listen ADDR:PORT   where to listen (default 127.0.0.1:9876: this machine only);\n"
    u"                       0.0.0.0:PORT opens it to the network: use TLS there\n"
    u"  --tls-cert FILE      HTTPS with this PEM certificate (chain) ...\n"
    u"  --tls-key FILE       ... and this PEM private key (keep it readable only by you)\n"
    u"  --trace DIR          write every message and answer into DIR (WBXML as XML,\n"
    u"                       credentials removed) to find out why a phone won't sync;\n"
    u"                       the trace holds notes: delete it when done\n"
    u"  --idle-timeout SECONDS  a session whose client sends nothing this long fails (120);\n"
    u"                       what the module applied of it stays\n",
};

const CommandHelp kDeviceHelp = {
    u"vantrel device add ID --alias NAME [--user USER] [--password-file FILE]\n"
    u"       vantrel device list | vantrel device remove ID",
    u"the devices that may sync with `vantrel serve`",
    u"add: lets the device ID (its SyncML device id, e.g. IMEI:3500... or\n"
    u"syncevolution-...) sync as phone NAME (notes in <Root>/NAME). Asks for its\n"
    u"password (or reads the first line of FILE); the user name is USER, else NAME.\n"
    u"Only b64(md5(user:password)) is kept, in a file only you can read.\n"
    u"A known device keeps its alias; add again to change its password.\n"
    u"list: the devices and their last session. remove: forgets a device's password\n"
    u"and state; its notes stay where they are.\n",
};

std::u16string generalHelp() {
    std::u16string t =
        u"vantrel: a desktop host for the Vantrel notes plug-in. It loads the module registered\n"
        u"for \"Notes\" and synchronises a folder of .txt notes with (virtual) phones.\n\n"
        u"Usage: vantrel COMMAND [OPTIONS] [ARGS]\n\nCommands:\n";
    for (const auto& c : commands()) t += format(u"  %-12s%s\n", c.name, c.help->summary);
    t += u"\n";
    t += kGlobalHelp;
    t += u"\nEverything lives under VANTREL_HOME when it is set: the registry file\n"
         u"(registry.reg), the module's data (AppData/) and the default phone stores\n"
         u"(phones-device/). Exit codes: 0 success, 1 an operation failed, 2 a usage error.\n"
         u"`vantrel COMMAND --help` tells more; first steps: `vantrel demo`.\n";
    return t;
}

std::u16string commandHelp(const CommandInfo& c) {
    std::u16string t = format(u"Usage: %s\n\n%s", c.help->usage, c.help->details);
    if (c.phones != PhoneOptions::None) t += u"\n" + std::u16string(kPhoneHelp);
    t += u"\n" + std::u16string(kGlobalHelp);
    return t;
}

void printBlock(const std::u16string& text) {
    size_t start = 0;
    std::u16string body = text;
    if (!body.empty() && body.back() == u'\n') body.pop_back();
    while (start <= body.size()) {
        size_t nl = body.find(u'\n', start);
        if (nl == std::u16string::npos) nl = body.size();
        out(body.substr(start, nl - start));
        start = nl + 1;
    }
}

}  // namespace vt::host
