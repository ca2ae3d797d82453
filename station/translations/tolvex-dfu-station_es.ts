<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es">
<context>
    <name>QObject</name>
    <message>
        <location filename="../main.cpp" line="44"/>
        <source>Tolvex DFU station</source>
        <translation>Estación Tolvex DFU</translation>
    </message>
    <message>
        <location filename="../main.cpp" line="83"/>
        <source>This station has no profile yet. The line engineer writes one (see &quot;tolvex-dfu station --help&quot; and the production-line guide) and saves it as %1, owned by root, or starts the screen with --profile FILE.</source>
        <translation>Esta estación aún no tiene perfil. El responsable de línea escribe uno (véase «tolvex-dfu station --help» y la guía de la línea de producción) y lo guarda como %1, propiedad de root, o inicia la pantalla con --profile ARCHIVO.</translation>
    </message>
    <message>
        <location filename="../main.cpp" line="91"/>
        <source>Operator (type or scan):</source>
        <translation>Operario (escriba o escanee):</translation>
    </message>
    <message>
        <location filename="../main.cpp" line="92"/>
        <source>Lot or work order (type or scan):</source>
        <translation>Lote u orden de trabajo (escriba o escanee):</translation>
    </message>
</context>
<context>
    <name>StationTile</name>
    <message>
        <location filename="../StationTile.cpp" line="57"/>
        <source>Empty</source>
        <translation>Vacío</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="58"/>
        <source>Waiting for a board</source>
        <translation>Esperando una placa</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="59"/>
        <source>Updating</source>
        <translation>Actualizando</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="60"/>
        <source>Done</source>
        <translation>Hecho</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="61"/>
        <source>Up to date</source>
        <translation>Ya actualizada</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="62"/>
        <source>Refused</source>
        <translation>Rechazada</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="63"/>
        <source>Failed</source>
        <translation>Fallida</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="64"/>
        <source>Pulled</source>
        <translation>Retirada</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="65"/>
        <source>Blocked</source>
        <translation>Bloqueada</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="169"/>
        <source>Serial %1</source>
        <translation>N.º de serie %1</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="171"/>
        <source>Label %1 does not match</source>
        <translation>La etiqueta %1 no coincide</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="171"/>
        <source>Label %1</source>
        <translation>Etiqueta %1</translation>
    </message>
    <message>
        <location filename="../StationTile.cpp" line="181"/>
        <source>%1: %2</source>
        <translation>%1: %2</translation>
    </message>
</context>
<context>
    <name>StationWindow</name>
    <message>
        <location filename="../StationWindow.cpp" line="29"/>
        <source>erasing</source>
        <translation>borrando</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="31"/>
        <source>writing</source>
        <translation>escribiendo</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="33"/>
        <source>verifying</source>
        <translation>verificando</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="35"/>
        <source>restarting</source>
        <translation>reiniciando</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="37"/>
        <source>comparing</source>
        <translation>comparando</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="38"/>
        <source>reading</source>
        <translation>leyendo</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="43"/>
        <source>%1 s</source>
        <translation>%1 s</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="75"/>
        <source>Tolvex DFU station</source>
        <translation>Estación Tolvex DFU</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="111"/>
        <source>Pause</source>
        <translation>Pausa</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="113"/>
        <source>Resume</source>
        <translation>Reanudar</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="125"/>
        <location filename="../StationWindow.cpp" line="388"/>
        <location filename="../StationWindow.cpp" line="391"/>
        <source>End lot</source>
        <translation>Terminar lote</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="174"/>
        <source>starting</source>
        <translation>empezando</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="174"/>
        <location filename="../StationWindow.cpp" line="184"/>
        <source>Leave it plugged in</source>
        <translation>Déjela conectada</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="183"/>
        <source>%1 %2 %</source>
        <translation>%1 %2 %</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="222"/>
        <source>Press Resume to update it</source>
        <translation>Pulse Reanudar para actualizarla</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="272"/>
        <source>not signed</source>
        <translation>sin firmar</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="274"/>
        <source>Firmware %1 · release %2 · %3 · SHA-256 %4</source>
        <translation>Firmware %1 · versión %2 · %3 · SHA-256 %4</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="276"/>
        <source>not given</source>
        <translation>no indicada</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="279"/>
        <source>Operator %1</source>
        <translation>Operario %1</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="281"/>
        <source>Lot %1</source>
        <translation>Lote %1</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="285"/>
        <source>The profile %1 is not locked: anyone who can write it changes this line</source>
        <translation>El perfil %1 no está bloqueado: quien pueda escribirlo cambia esta línea</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="296"/>
        <source>Done %1</source>
        <translation>Hechas %1</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="296"/>
        <source>Up to date %1</source>
        <translation>Ya actualizadas %1</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="297"/>
        <source>Refused %1</source>
        <translation>Rechazadas %1</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="297"/>
        <source>Failed %1</source>
        <translation>Fallidas %1</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="298"/>
        <source>In progress %1</source>
        <translation>En curso %1</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="301"/>
        <source>First-pass yield %1 %</source>
        <translation>Rendimiento a la primera %1 %</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="303"/>
        <source>%1 boards an hour</source>
        <translation>%1 placas por hora</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="305"/>
        <location filename="../StationWindow.cpp" line="358"/>
        <source>median %1 s a board</source>
        <translation>mediana %1 s por placa</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="329"/>
        <source>Take it out: it is up to date</source>
        <translation>Retírela: ya está actualizada</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="329"/>
        <source>Take it out: done</source>
        <translation>Retírela: hecho</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="332"/>
        <source>Scan the label again</source>
        <translation>Escanee la etiqueta otra vez</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="334"/>
        <source>Scan its label, then plug it in again</source>
        <translation>Escanee su etiqueta y vuelva a conectarla</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="336"/>
        <source>Put it aside: its firmware is newer</source>
        <translation>Apártela: su firmware es más nuevo</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="337"/>
        <source>Put it aside: wrong product</source>
        <translation>Apártela: producto equivocado</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="339"/>
        <source>Plug it in again to finish</source>
        <translation>Vuelva a conectarla para terminar</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="340"/>
        <source>Plug it in again</source>
        <translation>Vuelva a conectarla</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="341"/>
        <source>Put the first board back to finish it</source>
        <translation>Vuelva a poner la primera placa para terminarla</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="342"/>
        <source>Plug it in again; if it fails again, put it aside</source>
        <translation>Vuelva a conectarla; si falla otra vez, apártela</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="349"/>
        <source>Lot %1: done %2, up to date %3, refused %4, failed %5</source>
        <translation>Lote %1: hechas %2, ya actualizadas %3, rechazadas %4, fallidas %5</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="356"/>
        <source>First-pass yield %1 % of %2 boards</source>
        <translation>Rendimiento a la primera %1 % de %2 placas</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="371"/>
        <source>Ending lot %1: the running boards finish first</source>
        <translation>Terminando el lote %1: primero terminan las placas en curso</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="391"/>
        <source>Next lot or work order (type or scan):</source>
        <translation>Siguiente lote u orden de trabajo (escriba o escanee):</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="401"/>
        <source>Paused: the running boards finish; no new board is started</source>
        <translation>En pausa: las placas en curso terminan; no empieza ninguna nueva</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="429"/>
        <source>Closing: the running boards finish first</source>
        <translation>Cerrando: primero terminan las placas en curso</translation>
    </message>
    <message>
        <location filename="../StationWindow.cpp" line="448"/>
        <source>Scanned %1: plug in its board</source>
        <translation>%1 escaneada: conecte su placa</translation>
    </message>
</context>
</TS>
