#include "DefaultConfigFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "SystemAccess.h"

namespace Velmora {

namespace {

// The texts end exactly where the closing delimiter starts.
constexpr char kAlgorithmText[] = R"TEXT([DenoisingParams]
TDenoiseLevel_Depth=3
SDenoiseLevel_Depth=3
TDenoiseMethod_Depth=1
SDenoiseMethod_Depth=1
TDenoiseLevel_Gray=1
SDenoiseLevel_Gray=1
TDenoiseMethod_Gray=1
SDenoiseMethod_Gray=1

[RepairParams]
ERDOLvl=3

[ConfidenceParams]
ValidDistMin=0
ValidDistMax=7000
)TEXT";

constexpr char kCameraText[] = R"TEXT([VideoInfo]
sensorType=TOF
sensorPath=/dev/v4l-subdev2
ispPath=/dev/video11
subIspPath=/dev/v4l-subdev3

[Signle-4PHASE]
WorkMode=0
SubWorkMode=1
//SubFrameModes0={0,0,0,0}
SubFrameModes0=0
SubFrameModes1=0
SubFrameModes2=0
SubFrameModes3=0
//SpecialFrameModes={0,0,0,0}
SpecialFrameModes0=0
SpecialFrameModes1=0
SpecialFrameModes2=0
SpecialFrameModes3=0
SpecBgMode=0
//FrameSeqSchedule={0,1,2,3}
FrameSeqSchedule0=0
FrameSeqSchedule1=1
FrameSeqSchedule2=2
FrameSeqSchedule3=3
//IntegrationTimes={{1000000,0,0},{0,0,0},{0,0,0},{0,0,0}}
Frame0_1To4IntTime=1000000
Frame0_5To8IntTime=0
Frame0_SpecialIntTime=0
Frame1_1To4IntTime=0
Frame1_5To8IntTime=0
Frame1_SpecialIntTime=0
Frame2_1To4IntTime=0
Frame2_5To8IntTime=0
Frame2_SpecialIntTime=0
Frame3_1To4IntTime=0
Frame3_5To8IntTime=0
Frame3_SpecialIntTime=0
//PLLDLLDivs={{4,2,24},{2,2,24},{2,2,24},{2,2,24}}
Frame0_1To4PhaseDiv=4
Frame0_5To8PhaseDiv=2
Frame0_SpecialPhaseDiv=24
Frame1_1To4PhaseDiv=2
Frame1_5To8PhaseDiv=2
Frame1_SpecialPhaseDiv=24
Frame2_1To4PhaseDiv=2
Frame2_5To8PhaseDiv=2
Frame2_SpecialPhaseDiv=24
Frame3_1To4PhaseDiv=2
Frame3_5To8PhaseDiv=2
Frame3_SpecialPhaseDiv=24
//NumSubFramePerFrame={1,0,0,0}
NumSubFramePerFrame0=1
NumSubFramePerFrame1=0
NumSubFramePerFrame2=0
NumSubFramePerFrame3=0
MirrorMode=0
PhaseMode=0
EnableLedMod=1
SeqNumPerDepthMap=1
MIPI_FS_FE_Pos=0
SeqRepeatMode=1
TriggerMode=1
SlaveTrigOnPosLevel=0
TSensorMode=1
performClkChanges=0

[Signle-4PHASE_GRAY]
WorkMode=0
SubWorkMode=2
//SubFrameModes0={5,0,0,0}
SubFrameModes0=5
SubFrameModes1=0
SubFrameModes2=0
SubFrameModes3=0
//SpecialFrameModes={1,0,0,0}
SpecialFrameModes0=1
SpecialFrameModes1=0
SpecialFrameModes2=0
SpecialFrameModes3=0
SpecBgMode=0
//FrameSeqSchedule={0,1,2,3}
FrameSeqSchedule0=0
FrameSeqSchedule1=1
FrameSeqSchedule2=2
FrameSeqSchedule3=3
//IntegrationTimes={{1000000,0,1000000},{0,0,0},{0,0,0},{0,0,0}}
Frame0_1To4IntTime=1000000
Frame0_5To8IntTime=0
Frame0_SpecialIntTime=1000000
Frame1_1To4IntTime=0
Frame1_5To8IntTime=0
Frame1_SpecialIntTime=0
Frame2_1To4IntTime=0
Frame2_5To8IntTime=0
Frame2_SpecialIntTime=0
Frame3_1To4IntTime=0
Frame3_5To8IntTime=0
Frame3_SpecialIntTime=0
//PLLDLLDivs={{4,2,24},{2,2,24},{2,2,24},{2,2,24}}
Frame0_1To4PhaseDiv=4
Frame0_5To8PhaseDiv=2
Frame0_SpecialPhaseDiv=24
Frame1_1To4PhaseDiv=2
Frame1_5To8PhaseDiv=2
Frame1_SpecialPhaseDiv=24
Frame2_1To4PhaseDiv=2
Frame2_5To8PhaseDiv=2
Frame2_SpecialPhaseDiv=24
Frame3_1To4PhaseDiv=2
Frame3_5To8PhaseDiv=2
Frame3_SpecialPhaseDiv=24
//NumSubFramePerFrame={1,0,0,0}
NumSubFramePerFrame0=1
NumSubFramePerFrame1=0
NumSubFramePerFrame2=0
NumSubFramePerFrame3=0
MirrorMode=0
PhaseMode=0
EnableLedMod=1
SeqNumPerDepthMap=1
MIPI_FS_FE_Pos=0
SeqRepeatMode=1
TriggerMode=1
SlaveTrigOnPosLevel=0
TSensorMode=1
performClkChanges=0

[Double-4PHASE_4PHASE]
WorkMode=1
SubWorkMode=10
//SubFrameModes0={0,0,0,0}
SubFrameModes0=0
SubFrameModes1=0
SubFrameModes2=0
SubFrameModes3=0
//SpecialFrameModes={0,0,0,0}
SpecialFrameModes0=0
SpecialFrameModes1=0
SpecialFrameModes2=0
SpecialFrameModes3=0
SpecBgMode=0
//FrameSeqSchedule={0,1,2,3}
FrameSeqSchedule0=0
FrameSeqSchedule1=1
FrameSeqSchedule2=2
FrameSeqSchedule3=3
//IntegrationTimes={{1000000,0,0},{1000000,0,0},{0,0,0},{0,0,0}}
Frame0_1To4IntTime=1000000
Frame0_5To8IntTime=0
Frame0_SpecialIntTime=0
Frame1_1To4IntTime=1000000
Frame1_5To8IntTime=0
Frame1_SpecialIntTime=0
Frame2_1To4IntTime=0
Frame2_5To8IntTime=0
Frame2_SpecialIntTime=0
Frame3_1To4IntTime=0
Frame3_5To8IntTime=0
Frame3_SpecialIntTime=0
//PLLDLLDivs={{5,2,24},{2,2,24},{2,2,24},{2,2,24}}
Frame0_1To4PhaseDiv=4
Frame0_5To8PhaseDiv=2
Frame0_SpecialPhaseDiv=24
Frame1_1To4PhaseDiv=24
Frame1_5To8PhaseDiv=2
Frame1_SpecialPhaseDiv=24
Frame2_1To4PhaseDiv=2
Frame2_5To8PhaseDiv=2
Frame2_SpecialPhaseDiv=24
Frame3_1To4PhaseDiv=2
Frame3_5To8PhaseDiv=2
Frame3_SpecialPhaseDiv=24
//NumSubFramePerFrame={1,1,0,0}
NumSubFramePerFrame0=1
NumSubFramePerFrame1=1
NumSubFramePerFrame2=0
NumSubFramePerFrame3=0
MirrorMode=0
PhaseMode=0
EnableLedMod=1
SeqNumPerDepthMap=1
MIPI_FS_FE_Pos=0
SeqRepeatMode=1
TriggerMode=1
SlaveTrigOnPosLevel=0
TSensorMode=1
performClkChanges=0

[Double-4PHASE_GRAY_4PHASE_BG]
WorkMode=1
SubWorkMode=11
//SubFrameModes0={5,5,0,0}
SubFrameModes0=5
SubFrameModes1=5
SubFrameModes2=0
SubFrameModes3=0
//SpecialFrameModes={1,2,0,0}
SpecialFrameModes0=1
SpecialFrameModes1=2
SpecialFrameModes2=0
SpecialFrameModes3=0
SpecBgMode=0
//FrameSeqSchedule={0,1,2,3}
FrameSeqSchedule0=0
FrameSeqSchedule1=1
FrameSeqSchedule2=2
FrameSeqSchedule3=3
//IntegrationTimes={{1000000,0,1000000},{1000000,0,1000000},{0,0,0},{0,0,0}}
Frame0_1To4IntTime=1000000
Frame0_5To8IntTime=0
Frame0_SpecialIntTime=1000000
Frame1_1To4IntTime=1000000
Frame1_5To8IntTime=0
Frame1_SpecialIntTime=1000000
Frame2_1To4IntTime=0
Frame2_5To8IntTime=0
Frame2_SpecialIntTime=0
Frame3_1To4IntTime=0
Frame3_5To8IntTime=0
Frame3_SpecialIntTime=0
//PLLDLLDivs={{4,2,24},{24,2,24},{2,2,24},{2,2,24}}
Frame0_1To4PhaseDiv=4
Frame0_5To8PhaseDiv=2
Frame0_SpecialPhaseDiv=24
Frame1_1To4PhaseDiv=24
Frame1_5To8PhaseDiv=2
Frame1_SpecialPhaseDiv=24
Frame2_1To4PhaseDiv=2
Frame2_5To8PhaseDiv=2
Frame2_SpecialPhaseDiv=24
Frame3_1To4PhaseDiv=2
Frame3_5To8PhaseDiv=2
Frame3_SpecialPhaseDiv=24
//NumSubFramePerFrame={1,1,0,0}
NumSubFramePerFrame0=1
NumSubFramePerFrame1=1
NumSubFramePerFrame2=0
NumSubFramePerFrame3=0
MirrorMode=0
PhaseMode=0
EnableLedMod=1
SeqNumPerDepthMap=1
MIPI_FS_FE_Pos=0
SeqRepeatMode=1
TriggerMode=1
SlaveTrigOnPosLevel=0
TSensorMode=1
performClkChanges=0

[Gray-Only]
WorkMode=8
SubWorkMode=19
//SubFrameModes0={4,0,0,0}
SubFrameModes0=4
SubFrameModes1=0
SubFrameModes2=0
SubFrameModes3=0
//SpecialFrameModes={0,0,0,0}
SpecialFrameModes0=1
SpecialFrameModes1=0
SpecialFrameModes2=0
SpecialFrameModes3=0
SpecBgMode=0
//FrameSeqSchedule={0,1,2,3}
FrameSeqSchedule0=0
FrameSeqSchedule1=1
FrameSeqSchedule2=2
FrameSeqSchedule3=3
//IntegrationTimes={{0,0,1000000},{0,0,0},{0,0,0},{0,0,0}}
Frame0_1To4IntTime=0
Frame0_5To8IntTime=0
Frame0_SpecialIntTime=1000000
Frame1_1To4IntTime=0
Frame1_5To8IntTime=0
Frame1_SpecialIntTime=0
Frame2_1To4IntTime=0
Frame2_5To8IntTime=0
Frame2_SpecialIntTime=0
Frame3_1To4IntTime=0
Frame3_5To8IntTime=0
Frame3_SpecialIntTime=0
//PLLDLLDivs={{2,2,24},{2,2,24},{2,2,24},{2,2,24}}
Frame0_1To4PhaseDiv=2
Frame0_5To8PhaseDiv=2
Frame0_SpecialPhaseDiv=24
Frame1_1To4PhaseDiv=2
Frame1_5To8PhaseDiv=2
Frame1_SpecialPhaseDiv=24
Frame2_1To4PhaseDiv=2
Frame2_5To8PhaseDiv=2
Frame2_SpecialPhaseDiv=24
Frame3_1To4PhaseDiv=2
Frame3_5To8PhaseDiv=2
Frame3_SpecialPhaseDiv=24
//NumSubFramePerFrame={1,0,0,0}
NumSubFramePerFrame0=1
NumSubFramePerFrame1=0
NumSubFramePerFrame2=0
NumSubFramePerFrame3=0
MirrorMode=0
PhaseMode=0
EnableLedMod=1
SeqNumPerDepthMap=1
MIPI_FS_FE_Pos=0
SeqRepeatMode=1
TriggerMode=1
SlaveTrigOnPosLevel=0
TSensorMode=1
performClkChanges=0

[BGOUTDOOR]
WorkMode=7
SubWorkMode=18
//SubFrameModes0={4,0,0,0}
SubFrameModes0=4
SubFrameModes1=0
SubFrameModes2=0
SubFrameModes3=0
//SpecialFrameModes={0,0,0,0}
SpecialFrameModes0=2
SpecialFrameModes1=0
SpecialFrameModes2=0
SpecialFrameModes3=0
SpecBgMode=0
//FrameSeqSchedule={0,1,2,3}
FrameSeqSchedule0=0
FrameSeqSchedule1=1
FrameSeqSchedule2=2
FrameSeqSchedule3=3
//IntegrationTimes={{0,0,1000000},{0,0,0},{0,0,0},{0,0,0}}
Frame0_1To4IntTime=0
Frame0_5To8IntTime=0
Frame0_SpecialIntTime=1000000
Frame1_1To4IntTime=0
Frame1_5To8IntTime=0
Frame1_SpecialIntTime=0
Frame2_1To4IntTime=0
Frame2_5To8IntTime=0
Frame2_SpecialIntTime=0
Frame3_1To4IntTime=0
Frame3_5To8IntTime=0
Frame3_SpecialIntTime=0
//PLLDLLDivs={{2,2,24},{2,2,24},{2,2,24},{2,2,24}}
Frame0_1To4PhaseDiv=2
Frame0_5To8PhaseDiv=2
Frame0_SpecialPhaseDiv=24
Frame1_1To4PhaseDiv=2
Frame1_5To8PhaseDiv=2
Frame1_SpecialPhaseDiv=24
Frame2_1To4PhaseDiv=2
Frame2_5To8PhaseDiv=2
Frame2_SpecialPhaseDiv=24
Frame3_1To4PhaseDiv=2
Frame3_5To8PhaseDiv=2
Frame3_SpecialPhaseDiv=24
//NumSubFramePerFrame={1,0,0,0}
NumSubFramePerFrame0=1
NumSubFramePerFrame1=0
NumSubFramePerFrame2=0
NumSubFramePerFrame3=0
MirrorMode=0
PhaseMode=0
EnableLedMod=1
SeqNumPerDepthMap=1
MIPI_FS_FE_Pos=0
SeqRepeatMode=1
TriggerMode=1
SlaveTrigOnPosLevel=0
TSensorMode=1
performClkChanges=0

[Signal-BG-GRAY-BG-4PHASE]
WorkMode=0
SubWorkMode=8
//SubFrameModes0={4,4,4,0}
SubFrameModes0=4
SubFrameModes1=4
SubFrameModes2=4
SubFrameModes3=0
//SpecialFrameModes={0,0,0,0}
SpecialFrameModes0=2
SpecialFrameModes1=1
SpecialFrameModes2=2
SpecialFrameModes3=0
SpecBgMode=0
//FrameSeqSchedule={0,1,2,3}
FrameSeqSchedule0=0
FrameSeqSchedule1=1
FrameSeqSchedule2=2
FrameSeqSchedule3=3
//IntegrationTimes={{0,0,1000000},{0,0,1000000},{0,0,1000000},{1000000,0,0}}
Frame0_1To4IntTime=0
Frame0_5To8IntTime=0
Frame0_SpecialIntTime=1000000
Frame1_1To4IntTime=0
Frame1_5To8IntTime=0
Frame1_SpecialIntTime=1000000
Frame2_1To4IntTime=0
Frame2_5To8IntTime=0
Frame2_SpecialIntTime=1000000
Frame3_1To4IntTime=1000000
Frame3_5To8IntTime=0
Frame3_SpecialIntTime=0
//PLLDLLDivs={{2,2,24},{2,2,24},{2,2,24},{2,2,24}}
Frame0_1To4PhaseDiv=2
Frame0_5To8PhaseDiv=2
Frame0_SpecialPhaseDiv=24
Frame1_1To4PhaseDiv=2
Frame1_5To8PhaseDiv=2
Frame1_SpecialPhaseDiv=24
Frame2_1To4PhaseDiv=2
Frame2_5To8PhaseDiv=2
Frame2_SpecialPhaseDiv=24
Frame3_1To4PhaseDiv=4
Frame3_5To8PhaseDiv=2
Frame3_SpecialPhaseDiv=24
//NumSubFramePerFrame={1,0,0,0}
NumSubFramePerFrame0=1
NumSubFramePerFrame1=1
NumSubFramePerFrame2=1
NumSubFramePerFrame3=1
MirrorMode=0
PhaseMode=0
EnableLedMod=1
SeqNumPerDepthMap=1
MIPI_FS_FE_Pos=3
SeqRepeatMode=1
TriggerMode=1
SlaveTrigOnPosLevel=0
TSensorMode=1
performClkChanges=0)TEXT";

constexpr char kRegisterText[] = R"TEXT([SENSOR]
0x0C28=0x00000000
0x0C02=0x00011410
0x0224=0x00000001
0x0225=0x00000000
0x0226=0x00000280
0x0227=0x000001E0
0x0228=0x00000001
0x0300=0x00000004
0x0301=0x00000002
0x0302=0x00000018
0x0310=0x00000001
0x0311=0x00000000
0x0312=0x00000005
0x0320=0x000000c8
0x0321=0x00000064
0x0400=0x00000001
0x0401=0x00000000
0x0410=0x00000fff
0x0411=0x00000000
0x0420=0x000f4240
0x0421=0x00000000
0x0428=0x000f4240
0x0C10=0x00000003
0x0429=0x00989680

0x0722=0x00072020
0x0723=0x00000101
0x0724=0x00001f40
0x0710=0x00000002
0x0711=0x00000000
0x070A=0x00000010
0x070B=0x00000400
0x070D=0x00009c01

[VDRIVER]
0x00=0x10
0x01=0x7a
0x02=0x00
0x03=0x14
0x04=0x00
0x05=0x3c
0x06=0x01
0x07=0x00
0x08=0x20
0x09=0x0f
0x0a=0x00
0x0b=0x44
0x0c=0x10
0x0d=0x00
0x0e=0x80
0x0f=0x01
0x10=0x00
0x11=0x06
0x12=0x30
0x13=0x00
0x23=0x02
0x24=0x18
0x25=0x00
0x26=0xa0
0x27=0x05
0x28=0x00
0x29=0x01
0x2b=0x00
0x2c=0x1e
0x2d=0x00
0x2e=0x0c
0x2f=0x40
0x30=0x00
0x31=0x03
0x32=0x00)TEXT";

}  // namespace

int openWorkingDirectoryFile(const char* name, bool forWriting) {
    // A creation mode does not pass the seam: files are written through libc.
    SystemAccess libc;
    SystemAccess& files = forWriting ? libc : sys();
    const int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (forWriting ? O_WRONLY | O_CREAT : O_RDONLY);
    const int fd = forWriting ? ::open(name, flags, 0644) : files.open(name, flags);
    if (fd < 0) return -1;
    // A hard link or another user's file would let the planter read, change
    // or redirect what is written, and choose what is read.
    struct stat st {};
    if (files.fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
        (st.st_uid == ::geteuid() || st.st_uid == 0))
        return fd;
    files.close(fd);
    return -1;
}

bool writeWorkingDirectoryFile(const char* name, const void* bytes, size_t size) {
    const int fd = openWorkingDirectoryFile(name, true);
    if (fd < 0) return false;
    std::unique_ptr<FILE, int (*)(FILE*)> file(::fdopen(fd, "wb"), std::fclose);
    if (!file) {
        ::close(fd);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || ::ftruncate(fd, 0) != 0) return false;
    // A file left by an older version may be writable by others; ours is not.
    if (st.st_mode & (S_IWGRP | S_IWOTH)) ::fchmod(fd, st.st_mode & 0755);
    // A full disk must not pass for a written file.
    const bool written = std::fwrite(bytes, 1, size, file.get()) == size;
    FILE* raw = file.release();
    const bool closed = std::fclose(raw) == 0;
    return written && closed;
}

namespace {

bool writeFile(const char* name, std::string_view text) {
    return writeWorkingDirectoryFile(name, text.data(), text.size());
}

}  // namespace

const std::string_view defaultAlgorithmConfig(kAlgorithmText, sizeof(kAlgorithmText) - 1);
const std::string_view defaultCameraConfig(kCameraText, sizeof(kCameraText) - 1);
const std::string_view defaultRegisterConfig(kRegisterText, sizeof(kRegisterText) - 1);

bool writeDefaultConfigFiles() {
    return writeFile(kAlgorithmFileName, defaultAlgorithmConfig) &&
           writeFile(kCameraFileName, defaultCameraConfig) &&
           writeFile(kRegisterFileName, defaultRegisterConfig);
}

}  // namespace Velmora
