// The control half of the protocol: what tvbctl asks of the host.
#include "Host.h"

namespace tvb::host {

Host::Handled Host::OpAttach(Peer&, plist_t request, Reply& reply) {
    DriveSpec plan;
    std::string why;
    switch (DriveSpecFromRequest(request, plan, why)) {
    case SpecCheck::Malformed:
        return Handled::Malformed;
    case SpecCheck::Invalid:
        return reply.Fail(wire::kStatusBadArgument, why);
    case SpecCheck::Ok:
        break;
    }
    for (const auto& [id, drive] : mDrives) {
        if (!plan.allowDuplicate && drive.Plan().serial == plan.serial)
            return reply.Fail(wire::kStatusBadArgument,
                              "a drive with serial " + plan.serial + " is attached already");
    }
    const uint64_t id = mNextDrive++;
    auto [it, inserted] = mDrives.emplace(id, Drive(id, std::move(plan), mNextUnit++));
    Drive& drive = it->second;
    // Busy entries need no timer of their own: a pending wait-quiet re-arms at the settle time.
    const std::vector<uint64_t> added = drive.Build(mRegistry, Clock::now(), mNextVolume);
    wire::SetString(reply.body.get(), "bsdName", drive.BsdName());
    wire::SetUInt(reply.body.get(), "drive", drive.Id());
    wire::SetUInt(reply.body.get(), "service", drive.Service());
    AnnounceArrivals(added);
    return Handled::Answered;
}

Host::Handled Host::OpDetach(Peer&, plist_t request, Reply& reply) {
    Drive* drive = nullptr;
    const Handled handled = WithDrive(request, reply, drive);
    if (drive != nullptr)
        TerminateDrive(*drive);
    return handled;
}

Host::Handled Host::OpMessage(Peer&, plist_t request, Reply& reply) {
    uint64_t messageType = 0, argument = 0;
    if (!wire::GetUInt(request, "messageType", messageType) ||
        (wire::GetItem(request, "argument") && !wire::GetUInt(request, "argument", argument)))
        return Handled::Malformed;
    Drive* drive = nullptr;
    const Handled handled = WithDrive(request, reply, drive);
    if (drive == nullptr)
        return handled;
    if (messageType > 0xffffffffu)
        return reply.Fail(wire::kStatusBadArgument, "message codes are 32-bit");
    wire::SetUInt(reply.body.get(), "delivered", Watchers(drive->Service()));
    SendInterest(drive->Service(), static_cast<uint32_t>(messageType), argument);
    return Handled::Answered;
}

Host::Handled Host::OpList(Peer&, plist_t, Reply& reply) {
    plist_t list = plist_new_array();
    for (const auto& [id, drive] : mDrives) {
        plist_t item = plist_new_dict();
        wire::SetString(item, "serial", drive.Plan().serial);
        wire::SetString(item, "bsdName", drive.BsdName());
        wire::SetUInt(item, "watchers", Watchers(drive.Service()));
        wire::SetUInt(item, "service", drive.Service());
        plist_t names = plist_new_array();
        for (const Volume& v : drive.Volumes())
            plist_array_append_item(names, plist_new_string(v.name.c_str()));
        plist_dict_set_item(item, "volumes", names);
        plist_array_append_item(list, item);
    }
    plist_dict_set_item(reply.body.get(), "drives", list);
    return Handled::Answered;
}

Host::Handled Host::OpPress(Peer&, plist_t request, Reply& reply) {
    Drive* drive = nullptr;
    const Handled handled = WithDrive(request, reply, drive);
    if (drive != nullptr)
        drive->Press();
    return handled;
}

Host::Handled Host::OpLights(Peer&, plist_t request, Reply& reply) {
    Drive* drive = nullptr;
    const Handled handled = WithDrive(request, reply, drive);
    if (drive == nullptr)
        return handled;
    if (auto value = drive->LightValue())
        wire::SetUInt(reply.body.get(), "value", *value);
    const LightsShown shown = drive->Shown();
    wire::SetString(reply.body.get(), "shown",
                    shown == LightsShown::On    ? "on"
                    : shown == LightsShown::Off ? "off"
                                                : "unset");
    wire::SetUInt(reply.body.get(), "commands", drive->LedCommands());
    return Handled::Answered;
}

Host::Handled Host::OpLeds(Peer&, plist_t request, Reply& reply) {
    Drive* drive = nullptr;
    const Handled handled = WithDrive(request, reply, drive);
    if (drive == nullptr)
        return handled;
    plist_t list = plist_new_array();
    for (const auto& bytes : drive->LedInputs())
        plist_array_append_item(
            list, plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    plist_dict_set_item(reply.body.get(), "inputs", list);
    return Handled::Answered;
}

Host::Handled Host::OpCalls(Peer&, plist_t request, Reply& reply) {
    bool clear = false;
    if (wire::GetItem(request, "clear") && !wire::GetBool(request, "clear", clear))
        return Handled::Malformed;
    Drive* drive = nullptr;
    const Handled handled = WithDrive(request, reply, drive);
    if (drive == nullptr)
        return handled;
    wire::SetStringArray(reply.body.get(), "calls", drive->Calls());
    if (clear)
        drive->ClearCalls();
    return Handled::Answered;
}

Host::Handled Host::OpFault(Peer&, plist_t request, Reply& reply) {
    std::string kind;
    if (!wire::GetString(request, "kind", kind))
        return Handled::Malformed;
    Drive* drive = nullptr;
    const Handled handled = WithDrive(request, reply, drive);
    if (drive == nullptr)
        return handled;
    Fault fault = Fault::None;
    if (!ParseFault(kind, fault))
        return reply.Fail(wire::kStatusBadArgument, "unknown fault " + kind);
    drive->SetFault(fault);
    return Handled::Answered;
}

Host::Handled Host::OpWaits(Peer&, plist_t request, Reply& reply) {
    bool clear = false;
    if (wire::GetItem(request, "clear") && !wire::GetBool(request, "clear", clear))
        return Handled::Malformed;
    plist_t list = plist_new_array();
    for (const WaitRecord& record : mWaitRecords) {
        plist_t item = plist_new_dict();
        wire::SetString(item, "class", record.className);
        wire::SetString(item, "name", record.name);
        wire::SetString(item, "outcome", record.outcome);
        plist_array_append_item(list, item);
    }
    plist_dict_set_item(reply.body.get(), "waits", list);
    if (clear)
        mWaitRecords.clear();
    return Handled::Answered;
}

} // namespace tvb::host
