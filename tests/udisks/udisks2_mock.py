'''A UDisks2 service for tests, loaded by python3-dbusmock.

Parameters (JSON): {"devices": [{"name": "sdq", "device": "/dev/sdq", "backing": "/tmp/disk.img",
"authorize": true}, ...]}. Each device becomes a block object whose Device and PreferredDevice
are "device"; its open methods hand out a descriptor of the file "backing" (read-only for
OpenForBackup, as the mode says for OpenDevice), or fail as a refused authorisation does when
"authorize" is false.
'''

import os

import dbus

from dbusmock import mockobject

SYSTEM_BUS = False
BUS_NAME = 'org.freedesktop.UDisks2'
MAIN_OBJ = '/org/freedesktop/UDisks2/Manager'
MAIN_IFACE = 'org.freedesktop.UDisks2.Manager'
BLOCK_IFACE = 'org.freedesktop.UDisks2.Block'
BLOCK_PREFIX = '/org/freedesktop/UDisks2/block_devices/'

OPEN_MODES = {'r': os.O_RDONLY, 'w': os.O_WRONLY, 'rw': os.O_RDWR}


def _refuse():
    raise dbus.exceptions.DBusException(
        'Not authorized to perform operation',
        name='org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain')


def _opener(backing, authorize, fixed_mode=None):
    def open_block(_self, *args):
        if not authorize:
            _refuse()
        mode = fixed_mode or str(args[0])
        if mode not in OPEN_MODES:
            raise dbus.exceptions.DBusException(
                'Unknown mode', name='org.freedesktop.UDisks2.Error.Failed')
        fd = os.open(backing, OPEN_MODES[mode] | os.O_CLOEXEC)
        try:
            return dbus.types.UnixFd(fd)
        finally:
            os.close(fd)
    return open_block


def _bytes(text):
    return dbus.ByteArray(text.encode('utf-8') + b'\0')


def load(mock, parameters):
    paths = []
    for device in parameters.get('devices', []):
        path = BLOCK_PREFIX + device['name']
        authorize = device.get('authorize', True)
        mock.AddObject(path, BLOCK_IFACE, {
            'Device': _bytes(device['device']),
            'PreferredDevice': _bytes(device['device']),
            'Symlinks': dbus.Array([], signature='ay'),
            'ReadOnly': dbus.Boolean(False),
        }, [])
        obj = mockobject.get_object(path)
        obj.AddMethod(BLOCK_IFACE, 'OpenForBackup', 'a{sv}', 'h',
                      _opener(device['backing'], authorize, 'r'))
        obj.AddMethod(BLOCK_IFACE, 'OpenDevice', 'sa{sv}', 'h',
                      _opener(device['backing'], authorize))
        paths.append(dbus.ObjectPath(path))

    mock.AddMethod(MAIN_IFACE, 'GetBlockDevices', 'a{sv}', 'ao',
                   lambda _self, _options: dbus.Array(paths, signature='o'))
    mock.AddProperties(MAIN_IFACE, dbus.Dictionary({'Version': '2.9.4'}, signature='sv'))
