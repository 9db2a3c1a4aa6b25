"""Camera layer: connected-camera discovery and the camera model specifications.

- :mod:`.camera_identity`: ``list_connected_quor_cameras`` and friends, and
  the ``QuorCameraIdentity`` record.
- :mod:`.device_lookup`: the device-information web service client.
- :mod:`.quor_oridan`, :mod:`.quor_pockel`, :mod:`.quor_sevrine`: one
  ``CameraSpec`` per camera model.
"""
