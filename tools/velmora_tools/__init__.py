"""Companion tools of the VelmoraDepthCamera module, in pure Python.

- ``velmora_tools.pointcloud``: depth to x, y, z in millimetres with pinhole
  intrinsics, PLY export and import.
- ``velmora_tools.colormap``: colour mapping of depth and amplitude planes.
- ``velmora_tools.recording``: recording RAW frames into one file, reading it.
- ``velmora_tools.replay``: playing a recording back through the driver.
- ``velmora_tools.host``: what this host offers (camera nodes, board model,
  the virtual camera).

numpy is needed by everything that handles frame data; the module imports
without it. The extension module ``VelmoraDepthCamera`` is imported only by
the functions that drive a camera.
"""

__version__ = "0.1.0"
