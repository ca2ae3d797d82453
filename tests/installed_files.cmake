# What an installation of the tool holds, below its prefix; checked after `cmake --install`
# and in the Debian package.
set(TOLVEX_INSTALLED_FILES
    bin/tolvex-dfu-tool
    bin/tolvex-config
    bin/tolvex-dfu-file
    share/applications/com.corvantis.TolvexDfuTool.desktop
    share/metainfo/com.corvantis.TolvexDfuTool.metainfo.xml
    share/icons/hicolor/scalable/apps/com.corvantis.TolvexDfuTool.svg
    share/icons/hicolor/16x16/apps/com.corvantis.TolvexDfuTool.png
    share/icons/hicolor/48x48/apps/com.corvantis.TolvexDfuTool.png
    share/icons/hicolor/256x256/apps/com.corvantis.TolvexDfuTool.png
    lib/udev/rules.d/70-tolvex-dfu.rules)
