<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>QObject</name>
    <message>
        <location filename="../main.cpp" line="44"/>
        <source>Tolvex DFU station</source>
        <translation>Tolvex DFU 工位</translation>
    </message>
    <message>
        <location filename="../main.cpp" line="83"/>
        <source>This station has no profile yet. The line engineer writes one (see &quot;tolvex-dfu station --help&quot; and the production-line guide) and saves it as %1, owned by root, or starts the screen with --profile FILE.</source>
        <translation>此工位尚无配置文件。请产线工程师编写一个（参见“tolvex-dfu station --help”和产线指南），保存为 %1（属主为 root），或用 --profile 文件 启动本界面。</translation>
    </message>
    <message>
        <location filename="../main.cpp" line="91"/>
        <source>Operator (type or scan):</source>
        <translation>操作员（输入或扫描）：</translation>
    </message>
    <message>
        <location filename="../main.cpp" line="92"/>
        <source>Lot or work order (type or scan):</source>
        <translation>批次或工单（输入或扫描）：</translation>
    </message>
</context>
<context>
    <name>StationTile</name>
    <message>
        <location filename="../StationTile.cpp" line="57"/>
        <source>Empty</source>
        <translation>空</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="58"/>
        <source>Waiting for a board</source>
        <translation>等待电路板</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="59"/>
        <source>Updating</source>
        <translation>正在更新</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="60"/>
        <source>Done</source>
        <translation>完成</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="61"/>
        <source>Up to date</source>
        <translation>已是最新</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="62"/>
        <source>Refused</source>
        <translation>已拒绝</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="63"/>
        <source>Failed</source>
        <translation>失败</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="64"/>
        <source>Pulled</source>
        <translation>已拔出</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="65"/>
        <source>Blocked</source>
        <translation>已阻止</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="169"/>
        <source>Serial %1</source>
        <translation>序列号 %1</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="171"/>
        <source>Label %1 does not match</source>
        <translation>标签 %1 不匹配</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="171"/>
        <source>Label %1</source>
        <translation>标签 %1</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="181"/>
        <source>%1: %2</source>
        <translation>%1：%2</translation>
    </message>
</context>
<context>
    <name>StationWindow</name>
    <message>
        <location filename="../StationWindow.cpp" line="29"/>
        <source>erasing</source>
        <translation>擦除中</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="31"/>
        <source>writing</source>
        <translation>写入中</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="33"/>
        <source>verifying</source>
        <translation>校验中</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="35"/>
        <source>restarting</source>
        <translation>重启中</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="37"/>
        <source>comparing</source>
        <translation>比较中</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="38"/>
        <source>reading</source>
        <translation>读取中</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="43"/>
        <source>%1 s</source>
        <translation>%1 秒</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="75"/>
        <source>Tolvex DFU station</source>
        <translation>Tolvex DFU 工位</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="111"/>
        <source>Pause</source>
        <translation>暂停</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="113"/>
        <source>Resume</source>
        <translation>继续</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="125"/>
        <location filename="../StationWindow.cpp" line="388"/>
        <location filename="../StationWindow.cpp" line="391"/>
        <source>End lot</source>
        <translation>结束批次</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="174"/>
        <source>starting</source>
        <translation>开始</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="174"/>
        <location filename="../StationWindow.cpp" line="184"/>
        <source>Leave it plugged in</source>
        <translation>请保持插入</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="183"/>
        <source>%1 %2 %</source>
        <translation>%1 %2%</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="222"/>
        <source>Press Resume to update it</source>
        <translation>按“继续”开始更新</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="272"/>
        <source>not signed</source>
        <translation>未签名</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="274"/>
        <source>Firmware %1 · release %2 · %3 · SHA-256 %4</source>
        <translation>固件 %1 · 版本 %2 · %3 · SHA-256 %4</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="276"/>
        <source>not given</source>
        <translation>未给出</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="279"/>
        <source>Operator %1</source>
        <translation>操作员 %1</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="281"/>
        <source>Lot %1</source>
        <translation>批次 %1</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="285"/>
        <source>The profile %1 is not locked: anyone who can write it changes this line</source>
        <translation>配置文件 %1 未锁定：任何能写入它的人都能更改本产线</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="296"/>
        <source>Done %1</source>
        <translation>完成 %1</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="296"/>
        <source>Up to date %1</source>
        <translation>已是最新 %1</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="297"/>
        <source>Refused %1</source>
        <translation>已拒绝 %1</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="297"/>
        <source>Failed %1</source>
        <translation>失败 %1</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="298"/>
        <source>In progress %1</source>
        <translation>进行中 %1</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="301"/>
        <source>First-pass yield %1 %</source>
        <translation>一次通过率 %1%</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="303"/>
        <source>%1 boards an hour</source>
        <translation>每小时 %1 块</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="305"/>
        <location filename="../StationWindow.cpp" line="358"/>
        <source>median %1 s a board</source>
        <translation>中位数每块 %1 秒</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="329"/>
        <source>Take it out: it is up to date</source>
        <translation>请取出：已是最新</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="329"/>
        <source>Take it out: done</source>
        <translation>请取出：已完成</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="332"/>
        <source>Scan the label again</source>
        <translation>请重新扫描标签</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="334"/>
        <source>Scan its label, then plug it in again</source>
        <translation>请扫描标签后重新插入</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="336"/>
        <source>Put it aside: its firmware is newer</source>
        <translation>请放到一边：固件更新</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="337"/>
        <source>Put it aside: wrong product</source>
        <translation>请放到一边：产品不符</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="339"/>
        <source>Plug it in again to finish</source>
        <translation>请重新插入以完成</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="340"/>
        <source>Plug it in again</source>
        <translation>请重新插入</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="341"/>
        <source>Put the first board back to finish it</source>
        <translation>请放回第一块板以完成</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="342"/>
        <source>Plug it in again; if it fails again, put it aside</source>
        <translation>请重新插入；若再次失败，请放到一边</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="349"/>
        <source>Lot %1: done %2, up to date %3, refused %4, failed %5</source>
        <translation>批次 %1：完成 %2，已是最新 %3，已拒绝 %4，失败 %5</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="356"/>
        <source>First-pass yield %1 % of %2 boards</source>
        <translation>一次通过率 %1%（共 %2 块）</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="371"/>
        <source>Ending lot %1: the running boards finish first</source>
        <translation>正在结束批次 %1：进行中的板先完成</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="391"/>
        <source>Next lot or work order (type or scan):</source>
        <translation>下一批次或工单（输入或扫描）：</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="401"/>
        <source>Paused: the running boards finish; no new board is started</source>
        <translation>已暂停：进行中的板会完成；不会开始新的板</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="429"/>
        <source>Closing: the running boards finish first</source>
        <translation>正在关闭：进行中的板先完成</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="448"/>
        <source>Scanned %1: plug in its board</source>
        <translation>已扫描 %1：请插入对应的板</translation>
    </message>
</context>
</TS>
