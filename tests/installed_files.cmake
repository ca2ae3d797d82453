# What an installation of the tool holds, below its prefix; checked after `cmake --install`
# and in the Debian package.
set(TOLVEX_INSTALLED_FILES
    bin/tolvex-dfu-tool
    bin/tolvex-config
    bin/tolvex-dfu-file
    bin/tolvex-dfu
    bin/tolvex-dfu-station
    share/man/man1/tolvex-dfu-tool.1.gz
    share/man/man1/tolvex-dfu.1.gz
    share/man/man1/tolvex-dfu-station.1.gz
    share/man/man1/tolvex-config.1.gz
    share/man/man1/tolvex-dfu-file.1.gz
    share/doc/tolvex-dfu-tool/copyright
    share/doc/tolvex-dfu-tool/changelog.gz
    share/doc/tolvex-dfu-tool/examples/tolvex-dfu-station-autostart.desktop
    share/applications/com.corvantis.TolvexDfuTool.desktop
    share/metainfo/com.corvantis.TolvexDfuTool.metainfo.xml
    share/icons/hicolor/scalable/apps/com.corvantis.TolvexDfuTool.svg
    share/icons/hicolor/16x16/apps/com.corvantis.TolvexDfuTool.png
    share/icons/hicolor/48x48/apps/com.corvantis.TolvexDfuTool.png
    share/icons/hicolor/256x256/apps/com.corvantis.TolvexDfuTool.png
    share/tolvex-dfu/tolvex-dfu.schema.json
    share/bash-completion/completions/tolvex-dfu
    lib/udev/rules.d/70-tolvex-dfu.rules
    lib/systemd/system/tolvex-dfu-station@.service
    lib/sysusers.d/tolvex-dfu.conf)
