"""The metadata is in pyproject.toml. The wheel carries libOrvalisC, so it is one for this platform:
any Python 3 (ctypes, no extension module), but only this operating system and processor."""
from setuptools import setup
from setuptools.dist import Distribution
from wheel.bdist_wheel import bdist_wheel


class WithLibrary(Distribution):
    def has_ext_modules(self):
        return True


class PlatformWheel(bdist_wheel):
    def get_tag(self):
        return "py3", "none", super().get_tag()[2]


setup(distclass=WithLibrary, cmdclass={"bdist_wheel": PlatformWheel})
