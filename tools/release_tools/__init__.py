"""The release tools' one package: bounded readers of the formats an
installer is made of (PE images and their resources, manifests and the
start policy, cabinets, 7z headers, version records, icons), the one image
writer, the probe runner, and the two commands' logic, which
scripts/pack-installer and scripts/inspect-installer start. Python's
standard library only, from Python 3.9 on."""
