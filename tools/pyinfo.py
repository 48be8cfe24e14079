# Prints what the build needs to know about the interpreter running it:
# header directory, extension file suffix, module init symbol and a build tag.
import sys
import sysconfig

suffix = sysconfig.get_config_var("EXT_SUFFIX") or sysconfig.get_config_var("SO")
include = sysconfig.get_paths()["include"]
init = "PyInit_ext" if sys.version_info[0] >= 3 else "initext"
tag = "py%d%d%s" % (sys.version_info[0], sys.version_info[1], sysconfig.get_config_var("ABIFLAGS") or "")
sys.stdout.write("%s %s %s %s\n" % (include, suffix, init, tag))
