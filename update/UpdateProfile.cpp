#include "update/UpdateProfile.h"

#include "support/Text.h"
#include "update/Rollout.h"

namespace {

const char* const Section = "Assinatura";
const char* const SequenceKey = "Sequencia";
const char* const CandidateSequenceKey = "SequenciaCandidato";
const char* const GroupKey = "Grupo";
const char* const InstalledKey = "Candidato";
const char* const SwitchKey = "Troca";
const char* const OutcomeKey = "Resultado";
// One key per download name.
const char* const PartialSection = "Parcial";

std::uint64_t ReadCount(const TProfileFile& ini, const char* key) {
    long long value = 0;
    if (!TryStrToInt64(ini.ReadString(Section, key, "0"), value) || value < 0)
        return 0;
    return static_cast<std::uint64_t>(value);
}

} // namespace

TStoredReleaseState TUpdateProfile::ReadReleaseState() const {
    TStoredReleaseState state;
    state.Sequence = ReadCount(ini_, SequenceKey);
    state.CandidateFloor = ReadCount(ini_, CandidateSequenceKey);
    long long group = -1;
    if (TryStrToInt64(ini_.ReadString(Section, GroupKey, ""), group) && group >= 0 &&
        group < RolloutGroups)
        state.Group = static_cast<int>(group);
    state.Installed = ini_.ReadString(Section, InstalledKey, "");
    state.SwitchUnderWay = !ini_.ReadString(Section, SwitchKey, "").empty();
    return state;
}

void TUpdateProfile::WriteSequence(std::uint64_t sequence) {
    ini_.WriteString(Section, SequenceKey, std::to_string(sequence));
}

void TUpdateProfile::WriteCandidateFloor(std::uint64_t sequence) {
    ini_.WriteString(Section, CandidateSequenceKey, std::to_string(sequence));
}

void TUpdateProfile::WriteGroup(int group) {
    ini_.WriteString(Section, GroupKey, std::to_string(group));
}

void TUpdateProfile::BeginSwitch() {
    ini_.WriteString(Section, SwitchKey, "1");
}

void TUpdateProfile::EndSwitch(const std::string& folder) {
    ini_.WriteString(Section, InstalledKey, folder);
    ini_.DeleteKey(Section, SwitchKey);
}

std::string TUpdateProfile::ReadOutcome() const {
    return ini_.ReadString(Section, OutcomeKey, "");
}

void TUpdateProfile::WriteOutcome(const std::string& outcome) {
    ini_.WriteString(Section, OutcomeKey, outcome);
}

std::optional<TPartialRecord> TUpdateProfile::ReadPartial(const std::string& name) const {
    TPartialRecord record;
    if (!record.Parse(ini_.ReadString(PartialSection, name, "")))
        return std::nullopt;
    return record;
}

void TUpdateProfile::WritePartial(const std::string& name, const TPartialRecord& record) {
    ini_.WriteString(PartialSection, name, record.Format());
}

void TUpdateProfile::DeletePartial(const std::string& name) {
    ini_.DeleteKey(PartialSection, name);
}
