// The control half of the protocol: what tvbctl asks of the host.
#include "Host.h"

namespace tvb::host {

Host::Handled Host::On(Peer&, const wire::AttachRequest& request, wire::AttachAnswer& answer,
                       Reply& reply) {
    DriveSpec plan;
    std::string why;
    if (!DriveSpecFromRequest(request, plan, why))
        return reply.Fail(wire::kStatusBadArgument, why);
    if (!plan.allowDuplicate && mDrivesBySerial.count(plan.serial) != 0)
        return reply.Fail(wire::kStatusBadArgument,
                          "a drive with serial " + plan.serial + " is attached already");
    const uint64_t id = mNextDrive++;
    auto [it, inserted] = mDrives.emplace(id, Drive(id, std::move(plan), mNextUnit++));
    Drive& drive = it->second;
    // Busy entries need no timer of their own: a pending wait-quiet re-arms at the settle time.
    const std::vector<uint64_t> added = drive.Build(mRegistry, Clock::now(), mNextVolume);
    mDrivesBySerial[drive.Plan().serial].insert(id);
    mDrivesByBsdName[drive.BsdName()] = id;
    for (size_t i = 0; i < drive.Volumes().size(); ++i)
        mVolumes[drive.Volumes()[i].id] = {id, i};
    answer.bsdName = drive.BsdName();
    answer.drive = drive.Id();
    answer.service = drive.Service();
    AnnounceArrivals(added);
    return Handled::Answered;
}

Host::Handled Host::On(Peer&, const wire::DetachRequest& request, wire::DetachAnswer&,
                       Reply& reply) {
    if (Drive* drive = WithDrive(request.drive, reply))
        TerminateDrive(*drive);
    return Handled::Answered;
}

Host::Handled Host::On(Peer&, const wire::MessageRequest& request, wire::MessageAnswer& answer,
                       Reply& reply) {
    Drive* drive = WithDrive(request.drive, reply);
    if (drive == nullptr)
        return Handled::Answered;
    if (request.messageType > 0xffffffffu)
        return reply.Fail(wire::kStatusBadArgument, "message codes are 32-bit");
    answer.delivered = Watchers(drive->Service());
    SendInterest(drive->Service(), static_cast<uint32_t>(request.messageType), request.argument);
    return Handled::Answered;
}

Host::Handled Host::On(Peer&, const wire::ListRequest&, wire::ListAnswer& answer, Reply&) {
    for (const auto& [id, drive] : mDrives) {
        if (answer.drives.size() >= wire::DriveInfos::kBound)
            break;
        wire::DriveInfo item;
        item.serial = drive.Plan().serial;
        item.bsdName = drive.BsdName();
        item.watchers = Watchers(drive.Service());
        item.service = drive.Service();
        for (const Volume& v : drive.Volumes())
            item.volumes.push_back(v.name);
        answer.drives.push_back(std::move(item));
    }
    return Handled::Answered;
}

Host::Handled Host::On(Peer&, const wire::PressRequest& request, wire::PressAnswer&, Reply& reply) {
    if (Drive* drive = WithDrive(request.drive, reply))
        drive->Press();
    return Handled::Answered;
}

Host::Handled Host::On(Peer&, const wire::LightsRequest& request, wire::LightsAnswer& answer,
                       Reply& reply) {
    Drive* drive = WithDrive(request.drive, reply);
    if (drive == nullptr)
        return Handled::Answered;
    if (auto value = drive->LightValue()) {
        answer.hasValue = true;
        answer.value = *value;
    }
    const LightsShown shown = drive->Shown();
    answer.shown = static_cast<uint8_t>(shown == LightsShown::On    ? wire::LightsShown::On
                                        : shown == LightsShown::Off ? wire::LightsShown::Off
                                                                    : wire::LightsShown::Unset);
    answer.commands = drive->LedCommands();
    return Handled::Answered;
}

Host::Handled Host::On(Peer&, const wire::LedsRequest& request, wire::LedsAnswer& answer,
                       Reply& reply) {
    Drive* drive = WithDrive(request.drive, reply);
    if (drive == nullptr)
        return Handled::Answered;
    static_assert(kMaxLedRecords <= wire::LedInputs::kBound, "the record fits one answer");
    answer.inputs.assign(drive->LedInputs().begin(), drive->LedInputs().end());
    return Handled::Answered;
}

Host::Handled Host::On(Peer&, const wire::CallsRequest& request, wire::CallsAnswer& answer,
                       Reply& reply) {
    Drive* drive = WithDrive(request.drive, reply);
    if (drive == nullptr)
        return Handled::Answered;
    answer.calls.assign(drive->Calls().begin(), drive->Calls().end());
    if (request.clear)
        drive->ClearCalls();
    return Handled::Answered;
}

Host::Handled Host::On(Peer&, const wire::FaultRequest& request, wire::FaultAnswer&, Reply& reply) {
    Drive* drive = WithDrive(request.drive, reply);
    if (drive == nullptr)
        return Handled::Answered;
    Fault fault = Fault::None;
    if (!ParseFault(request.kind, fault))
        return reply.Fail(wire::kStatusBadArgument, "unknown fault " + request.kind);
    drive->SetFault(fault);
    return Handled::Answered;
}

Host::Handled Host::On(Peer&, const wire::WaitsRequest& request, wire::WaitsAnswer& answer,
                       Reply&) {
    const size_t skip = mWaitRecords.size() > wire::WaitInfos::kBound
                            ? mWaitRecords.size() - wire::WaitInfos::kBound
                            : 0;
    for (size_t i = skip; i < mWaitRecords.size(); ++i) {
        const WaitRecord& record = mWaitRecords[i];
        answer.waits.push_back(
            wire::WaitInfo{record.className, record.name, static_cast<uint8_t>(record.outcome)});
    }
    if (request.clear)
        mWaitRecords.clear();
    return Handled::Answered;
}

} // namespace tvb::host
