"""``python -m quor_camera_sdk.cameras``: the ``quor-cameras`` command line."""

from quor_camera_sdk.cameras.cli import main

raise SystemExit(main())
