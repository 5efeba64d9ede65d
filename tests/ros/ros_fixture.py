"""A private ROS master on the loopback address and the camera node under test.

CTest sets VELMORA_ROS_BUILD (the build's ros/ folder). Each test module gets
its own master on a free port; the environment is set before rospy loads.
"""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

BUILD = os.environ.get("VELMORA_ROS_BUILD", "")
NODE = os.path.join(BUILD, "velmora_camera_node")
WORK = tempfile.mkdtemp(prefix="velmora-ros-test-")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def ros_environment(ip="127.0.0.1", master_ip=None, port=None):
    env = dict(os.environ)
    env.update({
        "ROS_MASTER_URI": "http://%s:%d" % (master_ip or ip, port),
        "ROS_IP": ip,
        "ROS_HOME": os.path.join(WORK, "home"),
        "ROS_LOG_DIR": os.path.join(WORK, "log"),
        "ROS_PACKAGE_PATH": os.path.join(BUILD, "share") + ":/usr/share",
        "PYTHONUNBUFFERED": "1",
        # Information lines reach the log files as they are written.
        "ROSCONSOLE_STDOUT_LINE_BUFFERED": "1",
    })
    return env


PORT = free_port()
os.environ.update(ros_environment(port=PORT))

import rospy  # noqa: E402  (after the environment is set)


def write_config(name, text):
    path = os.path.join(WORK, name)
    with open(path, "w") as f:
        f.write(text)
    return path


class Process(object):
    """A child with its output in a file; stopped by its own id only."""

    def __init__(self, args, name, env=None, prefix=()):
        self.log_path = os.path.join(WORK, name + ".log")
        self.log = open(self.log_path, "wb")
        self.proc = subprocess.Popen(list(prefix) + list(args), stdout=self.log, stderr=subprocess.STDOUT,
                                     env=env or os.environ.copy())

    def output(self):
        if not self.log.closed:
            self.log.flush()
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def running(self):
        return self.proc.poll() is None

    def interrupt(self, timeout=10.0):
        """Sends SIGINT; returns the exit status and the seconds it took."""
        start = time.monotonic()
        if self.running():
            self.proc.send_signal(signal.SIGINT)
        try:
            status = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            status = self.proc.wait()
        return status, time.monotonic() - start

    def stop(self):
        if self.running():
            self.interrupt()
        self.log.close()


_master = None


def start_master():
    global _master
    _master = Process(["rosmaster", "--core", "-p", str(PORT)], "master")
    import rosgraph
    deadline = time.monotonic() + 20
    while not rosgraph.is_master_online():
        if time.monotonic() > deadline or not _master.running():
            raise RuntimeError("no ROS master came up:\n" + _master.output())
        time.sleep(0.1)
    rospy.init_node("velmora_test", anonymous=True, disable_signals=True)


def stop_master():
    rospy.signal_shutdown("tests done")
    if _master:
        _master.stop()
    shutil.rmtree(WORK, ignore_errors=True)


def start_node(config, name="node", **params):
    # Private parameters left by an earlier node of the same name would apply.
    if rospy.has_param("/camera/velmora_camera"):
        rospy.delete_param("/camera/velmora_camera")
    args = [NODE, "__ns:=camera", "_config:=" + config]
    args += ["_%s:=%s" % (k, v) for k, v in sorted(params.items())]
    return Process(args, name)


def wait_for(predicate, timeout=10.0, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


class Collector(object):
    """Keeps what arrives on one topic."""

    def __init__(self, topic, message_type):
        self.messages = []
        self.arrivals = []
        self.sub = rospy.Subscriber(topic, message_type, self._add, queue_size=50)

    def _add(self, message):
        self.messages.append(message)
        self.arrivals.append(time.monotonic())

    def wait(self, count, timeout=10.0):
        return wait_for(lambda: len(self.messages) >= count, timeout)

    def close(self):
        self.sub.unregister()


def diagnostics(timeout=5.0):
    """The node's next diagnostics entry as (level, message, values)."""
    from diagnostic_msgs.msg import DiagnosticArray
    array = rospy.wait_for_message("/diagnostics", DiagnosticArray, timeout=timeout)
    status = array.status[0]
    return status.level, status.message, {v.key: v.value for v in status.values}
