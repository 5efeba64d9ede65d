#pragma once
// ROS 2's command line without ROS 2: `--ros-args` with `-r` remappings
// (`__ns`, `__node`, topics), `-p name:=value` and `--params-file`, the
// names that follow from it, and parameter values typed as ROS 2 types them,
// read through the node's ParameterSource.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "NodeParameters.h"

namespace Velmora {
namespace Ros {

// A parameter value as ROS 2 reads it from YAML.
struct ParameterValue {
    enum class Type { Bool, Integer, Double, String, Array };
    Type type = Type::String;
    std::string text;  // as written; for an array, its items joined by ", "
    bool boolean = false;
    int64_t integer = 0;
    double real = 0;
};
// A YAML scalar: quoted ones are always text; plain ones are booleans
// (true/false, yes/no, on/off), integers, reals (.inf, .nan too) or text.
ParameterValue scalarValue(const std::string& text, bool quoted);
const char* typeName(ParameterValue::Type type);

struct RemapRule {
    std::string node;  // empty: for every node; else only for the node of that name
    std::string from;  // as written
    std::string to;
};

struct RosCommandLine {
    std::string nodeName = "velmora_camera";
    std::string nodeNamespace = "/";
    std::vector<RemapRule> remaps;  // topic remappings, in order
    // What -p and --params-file set, the later winning, in their order.
    std::map<std::string, ParameterValue> parameters;
    std::string logLevel = "info";
    bool help = false;
};

// Parses the arguments after the program name. Returns an empty text, or the
// reason the command line is refused (one line).
std::string parseCommandLine(const std::vector<std::string>& args, RosCommandLine& out);

// Reads the parameters of the node `nodeFqn` from a params file into `out`
// (keys `/**`, `/ns/node`, `node` for a node in `/`, `*`/`**` wildcards, or
// namespaces nested as maps; each with `ros__parameters`). Returns the reason
// the file is refused, or an empty text.
std::string readParamsFile(const std::string& path, const std::string& nodeFqn,
                           std::map<std::string, ParameterValue>& out);

// Names. Each check returns why a name is refused, or an empty text.
std::string checkNodeName(const std::string& name);
std::string checkNamespace(const std::string& ns);  // absolute, "/" alone included
std::string nodeFullName(const std::string& ns, const std::string& node);
// The fully qualified topic name: relative names go into the namespace,
// `~` into the node's; then the first matching remapping applies.
std::string resolveTopic(const std::string& name, const RosCommandLine& line);
// The DDS topic of a fully qualified ROS 2 topic: "/a/b" is "rt/a/b".
std::string ddsTopicName(const std::string& fullName);

// The parameters of the command line, for readParameters() and the front
// end's own. Remembers which names were read, to tell the ones nobody reads.
class CommandLineParameters : public ParameterSource {
public:
    explicit CommandLineParameters(std::map<std::string, ParameterValue> given) : values(std::move(given)) {}
    bool getString(const std::string& name, std::string& value, std::string& typeError) override;
    bool getInt(const std::string& name, int& value, std::string& typeError) override;
    bool getDouble(const std::string& name, double& value, std::string& typeError) override;
    bool getBool(const std::string& name, bool& value, std::string& typeError) override;
    // Names set on the command line that no getter asked for.
    std::vector<std::string> unread() const;

private:
    const ParameterValue* find(const std::string& name);
    std::map<std::string, ParameterValue> values;
    std::set<std::string> read;
};

}  // namespace Ros
}  // namespace Velmora
