// Camera calibration files: the YAML that camera_info files and OpenCV's
// calibration output are written in. Only the keys a lens needs are read, so
// a small reader of that shape (top-level keys, matrices with a `data` list)
// serves both without a YAML library.

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "VelmoraIntrinsics.h"

namespace Velmora {

namespace {

std::string trimmed(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return text.substr(begin, end - begin);
}

std::string unquoted(const std::string& text) {
    if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') && text.back() == text.front())
        return text.substr(1, text.size() - 2);
    return text;
}

// Each top-level key with the text that follows it, nested lines included.
std::map<std::string, std::string> topLevelKeys(std::istream& in) {
    std::map<std::string, std::string> keys;
    std::string line, current;
    while (std::getline(in, line)) {
        const size_t hash = line.find('#');
        if (hash != std::string::npos && line.find_first_of("\"'") > hash) line.erase(hash);
        if (line.empty() || line[0] == '%' || trimmed(line) == "---" || trimmed(line).empty()) continue;
        const size_t colon = line.find(':');
        if (!std::isspace(static_cast<unsigned char>(line[0])) && colon != std::string::npos) {
            current = trimmed(line.substr(0, colon));
            keys[current] = line.substr(colon + 1);
        } else if (!current.empty()) {
            keys[current] += "\n" + line;
        }
    }
    return keys;
}

bool parseNumber(const std::string& text, double& value) {
    const std::string t = trimmed(text);
    if (t.empty()) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtod(t.c_str(), &end);
    return errno == 0 && end == t.c_str() + t.size();
}

// The numbers of a matrix's `data: [ ... ]`, which may run over several lines.
bool matrixData(const std::string& block, std::vector<double>& values) {
    const size_t data = block.find("data:");
    if (data == std::string::npos) return false;
    const size_t open = block.find('[', data), close = block.find(']', data);
    if (open == std::string::npos || close == std::string::npos || close < open) return false;
    std::stringstream items(block.substr(open + 1, close - open - 1));
    values.clear();
    for (std::string item; std::getline(items, item, ',');) {
        if (trimmed(item).empty()) continue;
        double value;
        if (!parseNumber(item, value)) return false;
        values.push_back(value);
    }
    return true;
}

}  // namespace

std::string loadCalibrationFile(const std::string& path, Intrinsics& intrinsics) {
    std::ifstream file(path);
    if (!file) return "cannot read '" + path + "': " + std::strerror(errno);
    std::map<std::string, std::string> keys = topLevelKeys(file);
    const auto where = [&](const std::string& reason) { return "'" + path + "': " + reason; };

    double width = 0, height = 0;
    if (!parseNumber(keys["image_width"], width) || !parseNumber(keys["image_height"], height) || width < 1 ||
        height < 1 || width > 65535 || height > 65535 || width != static_cast<uint32_t>(width) ||
        height != static_cast<uint32_t>(height))
        return where("image_width and image_height must be whole numbers from 1 to 65535");
    std::vector<double> k, d;
    if (!matrixData(keys["camera_matrix"], k) || k.size() != 9)
        return where("camera_matrix must hold 9 numbers in its data");
    if (keys.count("distortion_coefficients") && !matrixData(keys["distortion_coefficients"], d))
        return where("distortion_coefficients must hold numbers in its data");
    std::string model = unquoted(trimmed(keys["distortion_model"]));
    // OpenCV's own files name no model and write up to 14 coefficients, the
    // ones it did not use as 0; with any of k4 to k6 its model is the rational one.
    if (model.empty()) {
        while (d.size() > 5 && d.back() == 0) d.pop_back();
        model = d.size() > 5 ? "rational_polynomial" : "plumb_bob";
    }
    // Trailing zeros beyond the model's count change nothing.
    const size_t most = model == "equidistant" ? 4 : model == "rational_polynomial" ? 8 : 5;
    while (d.size() > most && d.back() == 0) d.pop_back();
    Intrinsics loaded;
    const std::string refused = intrinsicsFromCalibration(static_cast<uint32_t>(width), static_cast<uint32_t>(height),
                                                          k.data(), model, d, loaded);
    if (!refused.empty()) return where(refused);
    intrinsics = loaded;
    return "";
}

}  // namespace Velmora
