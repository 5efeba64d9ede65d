#include "RosArguments.h"

#include <yaml-cpp/yaml.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace Velmora {
namespace Ros {

namespace {

const char* const kDefaultNodeName = "velmora_camera";

bool isNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// One token of a ROS name: letters, digits, '_', not starting with a digit, no "__".
bool validToken(const std::string& token) {
    if (token.empty() || (token[0] >= '0' && token[0] <= '9') || token.find("__") != std::string::npos) return false;
    for (char c : token)
        if (!isNameCharacter(c)) return false;
    return true;
}

std::vector<std::string> tokens(const std::string& name) {
    std::vector<std::string> parts;
    size_t start = name[0] == '/' ? 1 : 0;
    while (start <= name.size()) {
        const size_t end = name.find('/', start);
        parts.push_back(name.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return parts;
}

// rcl's node-name patterns: "*" stands for one token, "**" for any number.
bool matches(const std::vector<std::string>& pattern, size_t p, const std::vector<std::string>& name, size_t n) {
    if (p == pattern.size()) return n == name.size();
    if (pattern[p] == "**") {
        for (size_t skip = n; skip <= name.size(); ++skip)
            if (matches(pattern, p + 1, name, skip)) return true;
        return false;
    }
    return n < name.size() && (pattern[p] == "*" || pattern[p] == name[n]) && matches(pattern, p + 1, name, n + 1);
}

ParameterValue yamlValue(const YAML::Node& node) {
    if (node.IsScalar()) return scalarValue(node.Scalar(), node.Tag() == "!");
    ParameterValue value;
    value.type = ParameterValue::Type::Array;
    for (const YAML::Node& item : node) {
        if (!item.IsScalar()) continue;
        value.text += (value.text.empty() ? "" : ", ") + item.Scalar();
    }
    return value;
}

std::string flatten(const YAML::Node& map, const std::string& prefix, std::map<std::string, ParameterValue>& out) {
    for (const auto& entry : map) {
        const std::string name = (prefix.empty() ? "" : prefix + ".") + entry.first.as<std::string>();
        const YAML::Node& value = entry.second;
        if (value.IsMap()) {
            const std::string refused = flatten(value, name, out);
            if (!refused.empty()) return refused;
        } else if (value.IsScalar() || value.IsSequence()) {
            out[name] = yamlValue(value);
        } else {
            return "parameter '" + name + "' has no value";
        }
    }
    return "";
}

std::string readNodes(const YAML::Node& map, const std::string& path, const std::string& nodeFqn,
                      std::map<std::string, ParameterValue>& out) {
    for (const auto& entry : map) {
        std::string key = entry.first.as<std::string>();
        if (key == "ros__parameters") {
            if (!entry.second.IsMap()) return "ros__parameters of '" + path + "' is not a map";
            if (path.empty()) return "ros__parameters stands outside a node name";
            if (!matches(tokens(path), 0, tokens(nodeFqn), 0)) continue;
            const std::string refused = flatten(entry.second, "", out);
            if (!refused.empty()) return refused;
            continue;
        }
        if (!entry.second.IsMap()) return "'" + key + "' holds no ros__parameters";
        while (!key.empty() && key[0] == '/') key.erase(0, 1);
        const std::string refused = readNodes(entry.second, path + "/" + key, nodeFqn, out);
        if (!refused.empty()) return refused;
    }
    return "";
}

std::string parseParameter(const std::string& assignment, std::string& name, ParameterValue& value) {
    const size_t split = assignment.find(":=");
    if (split == std::string::npos || split == 0) return "'-p " + assignment + "' is not name:=value";
    name = assignment.substr(0, split);
    const std::string text = assignment.substr(split + 2);
    try {
        const YAML::Node node = YAML::Load(text);
        if (node.IsMap()) return "parameter '" + name + "': a map is not a parameter value";
        value = node.IsNull() ? scalarValue(text, true) : yamlValue(node);
    } catch (const YAML::Exception&) {
        value = scalarValue(text, true);  // not YAML: the text as it is
    }
    return "";
}

}  // namespace

ParameterValue scalarValue(const std::string& text, bool quoted) {
    ParameterValue value;
    value.text = text;
    if (quoted) return value;
    for (const char* word : {"true", "True", "TRUE", "yes", "Yes", "YES", "on", "On", "ON"})
        if (text == word) value.type = ParameterValue::Type::Bool, value.boolean = true;
    for (const char* word : {"false", "False", "FALSE", "no", "No", "NO", "off", "Off", "OFF"})
        if (text == word) value.type = ParameterValue::Type::Bool, value.boolean = false;
    if (value.type == ParameterValue::Type::Bool) return value;
    const size_t sign = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    const std::string unsigned_ = text.substr(sign);
    if (!unsigned_.empty() && unsigned_.find_first_not_of("0123456789") == std::string::npos) {
        errno = 0;
        value.integer = std::strtoll(text.c_str(), nullptr, 10);
        if (errno != ERANGE) {
            value.type = ParameterValue::Type::Integer;
            return value;
        }
    }
    // Decimal reals as YAML writes them, and its spellings of infinity and NaN.
    char* end = nullptr;
    const bool decimal = text.find_first_not_of("0123456789+-.eE") == std::string::npos &&
                         text.find_first_of("0123456789") != std::string::npos &&
                         (std::strtod(text.c_str(), &end), *end == '\0');
    const bool infinite = unsigned_ == ".inf" || unsigned_ == ".Inf" || unsigned_ == ".INF";
    if (decimal || infinite || text == ".nan" || text == ".NaN" || text == ".NAN") {
        value.type = ParameterValue::Type::Double;
        value.real = decimal ? std::strtod(text.c_str(), nullptr)
                             : infinite ? (text[0] == '-' ? -HUGE_VAL : HUGE_VAL) : std::nan("");
    }
    return value;
}

const char* typeName(ParameterValue::Type type) {
    switch (type) {
    case ParameterValue::Type::Bool:
        return "a boolean";
    case ParameterValue::Type::Integer:
        return "an integer";
    case ParameterValue::Type::Double:
        return "a number";
    case ParameterValue::Type::Array:
        return "an array";
    default:
        return "a text";
    }
}

std::string checkNodeName(const std::string& name) {
    if (name.empty() || name.size() > 255 || (name[0] >= '0' && name[0] <= '9') || name.find('/') != std::string::npos)
        return "node name '" + name + "' is not a ROS name (letters, digits and '_', not starting with a digit)";
    for (char c : name)
        if (!isNameCharacter(c))
            return "node name '" + name + "' is not a ROS name (letters, digits and '_', not starting with a digit)";
    return "";
}

std::string checkNamespace(const std::string& ns) {
    const std::string refused = "namespace '" + ns +
                                "' is not an absolute ROS name (tokens of letters, digits and '_' after '/', "
                                "none starting with a digit, no '__', no '/' at the end)";
    if (ns.empty() || ns[0] != '/') return refused;
    if (ns == "/") return "";
    for (const std::string& token : tokens(ns))
        if (!validToken(token)) return refused;
    return "";
}

std::string nodeFullName(const std::string& ns, const std::string& node) { return (ns == "/" ? "/" : ns + "/") + node; }

namespace {
std::string expand(const std::string& name, const RosCommandLine& line) {
    if (name == "~") return nodeFullName(line.nodeNamespace, line.nodeName);
    if (name.compare(0, 2, "~/") == 0) return nodeFullName(line.nodeNamespace, line.nodeName) + name.substr(1);
    if (!name.empty() && name[0] == '/') return name;
    return (line.nodeNamespace == "/" ? "/" : line.nodeNamespace + "/") + name;
}
}  // namespace

std::string resolveTopic(const std::string& name, const RosCommandLine& line) {
    const std::string full = expand(name, line);
    for (const RemapRule& rule : line.remaps) {
        if (!rule.node.empty() && rule.node != line.nodeName) continue;
        if (expand(rule.from, line) == full) return expand(rule.to, line);
    }
    return full;
}

std::string ddsTopicName(const std::string& fullName) { return "rt" + fullName; }

std::string parseCommandLine(const std::vector<std::string>& args, RosCommandLine& out) {
    // Files and -p in their order: a file is read once the node's name is known.
    std::vector<std::pair<std::string, std::string>> steps;  // ("file", path) or ("param", assignment)
    bool inRosArgs = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!inRosArgs) {
            if (arg == "--ros-args") {
                inRosArgs = true;
            } else if (arg == "-h" || arg == "--help") {
                out.help = true;
            } else {
                return "unexpected argument '" + arg + "' (settings go after --ros-args, see --help)";
            }
            continue;
        }
        if (arg == "--") {
            inRosArgs = false;
            continue;
        }
        if (arg == "--ros-args") continue;
        static const char* const flags[] = {"--enable-rosout-logs",       "--disable-rosout-logs",
                                            "--enable-stdout-logs",       "--disable-stdout-logs",
                                            "--enable-external-lib-logs", "--disable-external-lib-logs"};
        bool flag = false;
        for (const char* f : flags) flag = flag || arg == f;
        if (flag) continue;
        const bool takesValue = arg == "-r" || arg == "--remap" || arg == "-p" || arg == "--param" ||
                                arg == "--params-file" || arg == "--log-level" || arg == "-e" || arg == "--enclave" ||
                                arg == "--log-config-file";
        if (!takesValue) return "unknown ROS argument '" + arg + "'";
        if (i + 1 >= args.size()) return "'" + arg + "' needs a value";
        const std::string& value = args[++i];
        if (arg == "-p" || arg == "--param") {
            steps.emplace_back("param", value);
        } else if (arg == "--params-file") {
            steps.emplace_back("file", value);
        } else if (arg == "--log-level") {
            // "LEVEL" or "logger:=LEVEL": this node has one logger.
            const size_t split = value.find(":=");
            std::string level = split == std::string::npos ? value : value.substr(split + 2);
            for (char& c : level) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (level != "debug" && level != "info" && level != "warn" && level != "error" && level != "fatal")
                return "log level '" + value + "' is not debug, info, warn, error or fatal";
            out.logLevel = level;
        } else if (arg == "-r" || arg == "--remap") {
            const size_t split = value.find(":=");
            if (split == std::string::npos || split == 0 || split + 2 == value.size())
                return "'-r " + value + "' is not from:=to";
            RemapRule rule;
            rule.from = value.substr(0, split);
            rule.to = value.substr(split + 2);
            const size_t colon = rule.from.find(':');
            if (colon != std::string::npos) {
                rule.node = rule.from.substr(0, colon);
                rule.from.erase(0, colon + 1);
            }
            // A rule for another node changes nothing here.
            if (!rule.node.empty() && rule.node != kDefaultNodeName) continue;
            if (rule.from == "__ns") {
                std::string ns = rule.to[0] == '/' ? rule.to : "/" + rule.to;
                const std::string refused = checkNamespace(ns);
                if (!refused.empty()) return refused;
                out.nodeNamespace = ns;
            } else if (rule.from == "__node" || rule.from == "__name") {
                const std::string refused = checkNodeName(rule.to);
                if (!refused.empty()) return refused;
                out.nodeName = rule.to;
            } else {
                for (const std::string& name : {rule.from, rule.to}) {
                    const size_t skip = name.compare(0, 2, "~/") == 0 ? 2 : name[0] == '/' ? 1 : 0;
                    for (const std::string& token : tokens(name.substr(skip)))
                        if (name != "~" && !validToken(token)) return "'" + name + "' is not a ROS topic name";
                }
                rule.node.clear();
                out.remaps.push_back(rule);
            }
        }
        // --enclave and --log-config-file: security and log set-up this node does not have.
    }
    const std::string fqn = nodeFullName(out.nodeNamespace, out.nodeName);
    for (const auto& step : steps) {
        if (step.first == "file") {
            const std::string refused = readParamsFile(step.second, fqn, out.parameters);
            if (!refused.empty()) return refused;
        } else {
            std::string name;
            ParameterValue value;
            const std::string refused = parseParameter(step.second, name, value);
            if (!refused.empty()) return refused;
            out.parameters[name] = value;
        }
    }
    return "";
}

std::string readParamsFile(const std::string& path, const std::string& nodeFqn,
                           std::map<std::string, ParameterValue>& out) {
    std::ifstream file(path);
    if (!file) return "cannot read params file '" + path + "': " + std::strerror(errno);
    YAML::Node root;
    try {
        root = YAML::Load(file);
    } catch (const YAML::Exception& e) {
        return "params file '" + path + "' line " + std::to_string(e.mark.line + 1) + ": " + e.msg;
    }
    if (root.IsNull()) return "";
    if (!root.IsMap()) return "params file '" + path + "' is not a map of node names";
    // Into a copy: a refused file sets nothing.
    std::map<std::string, ParameterValue> values = out;
    const std::string refused = readNodes(root, "", nodeFqn, values);
    if (!refused.empty()) return "params file '" + path + "': " + refused;
    out.swap(values);
    return "";
}

const ParameterValue* CommandLineParameters::find(const std::string& name) {
    read.insert(name);
    const auto found = values.find(name);
    return found == values.end() ? nullptr : &found->second;
}

namespace {
std::string got(const ParameterValue& v) { return std::string(", got ") + typeName(v.type) + " '" + v.text + "'"; }
}  // namespace

bool CommandLineParameters::getString(const std::string& name, std::string& value, std::string& typeError) {
    const ParameterValue* v = find(name);
    if (!v) return false;
    // ROS 2 would refuse `frame_id:=1` as an integer; the text is meant.
    if (v->type == ParameterValue::Type::Array) {
        typeError = "expected a text" + got(*v);
        return false;
    }
    value = v->text;
    return true;
}

bool CommandLineParameters::getInt(const std::string& name, int& value, std::string& typeError) {
    const ParameterValue* v = find(name);
    if (!v) return false;
    if (v->type != ParameterValue::Type::Integer || v->integer < INT_MIN || v->integer > INT_MAX) {
        typeError = "expected an integer" + got(*v);
        return false;
    }
    value = static_cast<int>(v->integer);
    return true;
}

bool CommandLineParameters::getDouble(const std::string& name, double& value, std::string& typeError) {
    const ParameterValue* v = find(name);
    if (!v) return false;
    if (v->type == ParameterValue::Type::Double) {
        value = v->real;
    } else if (v->type == ParameterValue::Type::Integer) {
        value = static_cast<double>(v->integer);
    } else {
        typeError = "expected a number" + got(*v);
        return false;
    }
    return true;
}

bool CommandLineParameters::getBool(const std::string& name, bool& value, std::string& typeError) {
    const ParameterValue* v = find(name);
    if (!v) return false;
    if (v->type != ParameterValue::Type::Bool) {
        typeError = "expected true or false" + got(*v);
        return false;
    }
    value = v->boolean;
    return true;
}

std::vector<std::string> CommandLineParameters::unread() const {
    std::vector<std::string> names;
    for (const auto& entry : values)
        if (read.count(entry.first) == 0) names.push_back(entry.first);
    return names;
}

}  // namespace Ros
}  // namespace Velmora
