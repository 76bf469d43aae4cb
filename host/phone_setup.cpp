#include "host/phone_setup.h"

#include <set>

#include "host/command_support.h"
#include "host/settings.h"
#include "platform/format.h"

namespace vt::host {

namespace {

// Resolves the phone options against the host's records. requireKnown: the phone must have
// been synchronised before.
bool resolvePhone(const PhoneArgs& a, bool requireKnown, PhoneSetup* setup, bool* known,
                  std::u16string* error) {
    const std::u16string imei = a.imei.value_or(kDefaultImei);
    PhoneRecord record;
    *known = loadPhoneRecord(imei, &record);
    if (requireKnown && !*known) {
        *error = format(
            u"unknown phone: IMEI %s has never been synchronised on this PC (`vantrel "
            u"status` lists the phones known; `vantrel sync --imei %s` adds it)",
            imei, imei);
        return false;
    }
    if (*known && isSyncMLDevice(record)) {
        *error = format(
            u"%s is a SyncML device (phone '%s'): it synchronises through `vantrel serve`, "
            u"not with this command",
            imei, record.alias);
        return false;
    }
    setup->imei = imei;
    setup->alias = a.alias.value_or(*known && !record.alias.empty() ? record.alias : kDefaultAlias);
    setup->store = a.store ? absolutePath(*a.store)
                           : (*known && !record.store.empty() ? record.store
                                                              : defaultPhoneStore(setup->alias));
    setup->engineOptions = a.options.value_or(u"");
    // Checked again, under the records lock, when the phone is recorded after connecting.
    if (!checkPhoneClaim(loadPhoneRecords(), imei, setup->alias, setup->store, error)) return false;
    return validatePhoneSetup(*setup, error);
}

// The phones cl names, resolved; false with the reason on standard error.
bool resolvePhones(const CommandLine& cl, bool requireKnown, std::vector<PhoneSetup>* setups) {
    std::vector<PhoneArgs> args = cl.phones;
    if (cl.flags.count(u"--all")) {
        if (!args.empty()) {
            err(u"--all and phone options exclude each other");
            return false;
        }
        for (const PhoneRecord& r : loadPhoneRecords()) {
            // SyncML devices synchronise when their client calls `vantrel serve`.
            if (!isSyncMLDevice(r)) args.push_back(PhoneArgs{r.imei, {}, {}, {}});
        }
        if (args.empty()) {
            err(u"no phone is known yet; name one with --imei (or run plain `vantrel sync`)");
            return false;
        }
    }
    if (args.empty()) args.emplace_back();
    std::set<std::u16string> seen;
    for (const PhoneArgs& a : args) {
        PhoneSetup setup;
        bool known = false;
        std::u16string error;
        if (!resolvePhone(a, requireKnown, &setup, &known, &error)) {
            err(error);
            return false;
        }
        if (!seen.insert(imeiKey(setup.imei)).second) {
            err(format(u"phone IMEI %s is named twice", setup.imei));
            return false;
        }
        for (const PhoneSetup& s : *setups) {
            if (s.alias == setup.alias || s.store == setup.store) {
                err(format(u"phones %s and %s share an alias or a store", s.imei, setup.imei));
                return false;
            }
        }
        setups->push_back(setup);
    }
    return true;
}

}  // namespace

PhoneSession::~PhoneSession() {
    links_.clear();  // the objects first, the module last
    module_.reset();
    work_.reset();
    com_.reset();
}

bool PhoneSession::open(const CommandLine& cl, const Options& options) {
    if (!registryUsable()) return false;
    std::vector<PhoneSetup> setups;
    if (!resolvePhones(cl, options.requireKnown, &setups)) return false;
    if (options.beforeConnecting && !options.beforeConnecting()) return false;
    com_.emplace();
    work_.emplace();
    std::u16string error;
    std::unique_ptr<ModuleHost> module =
        ModuleHost::open(kDataStore, &error, cl.progId.value_or(u""));
    if (!module) {
        err(error);
        return false;
    }
    module_ = std::move(module);
    for (const PhoneSetup& setup : setups) {
        ConnectReport report;
        std::unique_ptr<PhoneLink> link =
            PhoneLink::connect(module_, setup, &error, &report, options.forReadOut);
        for (const auto& n : report.notes) out(n);
        if (!link) {
            err(error);
            if (report.busy && options.skipBusy) {
                ++busy_;
                continue;
            }
            return false;
        }
        if (!claimPhone(setup.imei, setup.alias, setup.store, &error)) {
            err(error);
            return false;
        }
        links_.push_back(std::move(link));
    }
    return true;
}

}  // namespace vt::host
