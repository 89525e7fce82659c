#include "farm/klFarmPlan.h"

#include "footage/klFootageError.h"

#include <filesystem>

namespace Kiln::Footage::Farm {

namespace {

std::string padded(int number, int digits)
{
    std::string text = std::to_string(number);
    if (int(text.size()) < digits) text.insert(0, size_t(digits) - text.size(), '0');
    return text;
}

}  // namespace

FarmPlan::FarmPlan(FootagePath output, int first, int last, int chunkFrames)
    : output_(std::move(output)), first_(first), last_(last), chunkFrames_(chunkFrames)
{
    if (output_.kind == Kind::Still)
        throw FootageError(output_.path,
                           "a farm renders a sequence (out.%04d.png) or a video, not a single picture");
    if (chunkFrames_ < 1 || last_ < first_) throw FootageError(output_.path, "no frames to render");
    const long count = (long(last_) - first_) / chunkFrames_ + 1;
    for (long i = 0; i < count; ++i) {
        const long a = first_ + i * long(chunkFrames_);
        chunks_.push_back(Chunk{int(i + 1), int(a), int(std::min<long>(a + chunkFrames_ - 1, last_))});
    }
    digits_ = std::max(4, int(std::to_string(count).size()));
    const size_t slash = output_.path.rfind('/');
    if (slash == std::string::npos)
        throw FootageError(output_.path, "a farm needs the output's absolute path");
    dir_ = output_.path.substr(0, slash);
    file_ = output_.path.substr(slash + 1);
    if (output_.kind == Kind::Sequence) {
        const std::string head = output_.prefix.substr(output_.prefix.rfind('/') + 1);
        name_ = head + std::string(size_t(std::max(output_.padding, 1)), '#') + output_.suffix;
    } else {
        name_ = file_;
    }
}

std::string FarmPlan::workFolder() const { return dir_ + "/." + name_ + ".farm"; }
std::string FarmPlan::joinLog() const { return workFolder() + ".log"; }
std::string FarmPlan::jobFile() const { return workFolder() + "/job"; }
std::string FarmPlan::jobIdsFile() const { return workFolder() + "/slurm-jobs"; }
std::string FarmPlan::lockFile() const { return workFolder() + "/lock"; }
std::string FarmPlan::filesRecord() const { return workFolder() + "/files"; }

std::string FarmPlan::chunkLog(int number) const
{
    return workFolder() + "/chunk-" + padded(number, digits_) + ".log";
}

FootagePath FarmPlan::chunkTarget(int number) const
{
    if (output_.kind == Kind::Video)
        return parseFootagePath(workFolder() + "/chunk-" + padded(number, digits_) + "." + output_.extension);
    return parseFootagePath(workFolder() + "/" + file_);
}

std::string FarmPlan::chunkFile(const Chunk& chunk, int frame) const
{
    return chunkTarget(chunk.number).frameFile(frame);
}

std::string arraySpec(const std::vector<Chunk>& chunks)
{
    std::string spec;
    for (size_t i = 0; i < chunks.size();) {
        size_t j = i;
        while (j + 1 < chunks.size() && chunks[j + 1].number == chunks[j].number + 1) ++j;
        if (!spec.empty()) spec += ',';
        spec += std::to_string(chunks[i].number);
        if (j > i) spec += '-' + std::to_string(chunks[j].number);
        i = j + 1;
    }
    return spec;
}

std::string absolutePath(const std::string& path)
{
    return std::filesystem::absolute(std::filesystem::path(path)).lexically_normal().string();
}

}  // namespace Kiln::Footage::Farm
