<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ru_RU">
<context>
    <name>AccessHosts</name>
    <message>
        <source>it is empty</source>
        <translation>запись пуста</translation>
    </message>
    <message>
        <source>it is longer than %1 characters</source>
        <translation>запись длиннее %1 символов</translation>
    </message>
    <message>
        <source>it is not an IPv4 or IPv6 address or prefix</source>
        <translation>это не адрес и не префикс IPv4 или IPv6</translation>
    </message>
    <message>
        <source>its prefix length is not a number from 0 to %1</source>
        <translation>длина префикса — не число от 0 до %1</translation>
    </message>
    <message>
        <source>The host list has %1 entries; at most %2 are allowed.</source>
        <translation>В списке узлов %1 записей; допускается не более %2.</translation>
    </message>
    <message>
        <source>Invalid host %1 (entry %2 of the list): %3.</source>
        <translation>Недопустимый узел %1 (запись %2 списка): %3.</translation>
    </message>
</context>
<context>
    <name>HostOffer</name>
    <message>
        <source>Hosts that share devices</source>
        <translation>Компьютеры, предоставляющие устройства</translation>
    </message>
</context>
<context>
    <name>LocalDevicesModel</name>
    <message>
        <source>Status</source>
        <translation>Состояние</translation>
    </message>
    <message>
        <source>Name</source>
        <translation>Название</translation>
    </message>
    <message>
        <source>shared (%1)</source>
        <translation>предоставлен (%1)</translation>
    </message>
    <message>
        <source>session</source>
        <translation>на сеанс</translation>
    </message>
    <message>
        <source>constantly</source>
        <translation>постоянно</translation>
    </message>
    <message>
        <source>unshared</source>
        <translation>не предоставлен</translation>
    </message>
</context>
<context>
    <name>LocalSharing</name>
    <message>
        <source>The program lsblk could not be run.</source>
        <translation>Не удалось запустить программу lsblk.</translation>
    </message>
    <message>
        <source>The program lsblk failed.</source>
        <translation>Программа lsblk завершилась с ошибкой.</translation>
    </message>
    <message>
        <source>The output of lsblk cannot be read.</source>
        <translation>Не удалось разобрать вывод lsblk.</translation>
    </message>
    <message>
        <source>No block device holds the root file system.</source>
        <translation>Ни одно блочное устройство не содержит корневую файловую систему.</translation>
    </message>
    <message>
        <source>No drive is offered for sharing: the disks of the running system cannot be told apart from the others.</source>
        <translation>Ни один накопитель не предлагается для общего доступа: невозможно отличить диски работающей системы от остальных.</translation>
    </message>
    <message>
        <source>Error updating the list of local devices!</source>
        <translation>Ошибка обновления списка локальных устройств!</translation>
    </message>
    <message>
        <source>Error updating the list of shared devices!</source>
        <translation>Ошибка обновления списка предоставленных устройств!</translation>
    </message>
    <message>
        <source>Error share device!
</source>
        <translation>Ошибка предоставления доступа к устройству!
</translation>
    </message>
    <message>
        <source>Error unshare device!
</source>
        <translation>Ошибка отмены доступа к устройству!
</translation>
    </message>
    <message>
        <source>Error changing who may attach!</source>
        <translation>Ошибка изменения круга узлов, которым разрешено подключение!</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>Ovra admin usbip</source>
        <translation>Ovra admin usbip</translation>
    </message>
    <message>
        <source>Local USB storages</source>
        <translation>Локальные USB-накопители</translation>
    </message>
    <message>
        <source>Update</source>
        <translation>Обновить</translation>
    </message>
    <message>
        <source>Share</source>
        <translation>Предоставить</translation>
    </message>
    <message>
        <source>Unshare</source>
        <translation>Отменить доступ</translation>
    </message>
    <message>
        <source>Remote USB storages</source>
        <translation>Удалённые USB-накопители</translation>
    </message>
    <message>
        <source>Network address of remote USB storages:</source>
        <translation>Сетевой адрес удалённых USB-накопителей:</translation>
    </message>
    <message>
        <source>localhost</source>
        <translation>localhost</translation>
    </message>
    <message>
        <source>Scan network...</source>
        <translation>Сканировать сеть...</translation>
    </message>
    <message>
        <source>Connect</source>
        <translation>Подключить</translation>
    </message>
    <message>
        <source>Disconnect</source>
        <translation>Отключить</translation>
    </message>
    <message>
        <source>Share (session)</source>
        <translation>Предоставить (на сеанс)</translation>
    </message>
    <message>
        <source>Share (constantly)</source>
        <translation>Предоставить (постоянно)</translation>
    </message>
    <message>
        <source>Connect (session)</source>
        <translation>Подключить (на сеанс)</translation>
    </message>
    <message>
        <source>Connect (constantly)</source>
        <translation>Подключить (постоянно)</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Ошибка</translation>
    </message>
    <message>
        <source>Who may attach the devices this machine shares</source>
        <translation>Кто может подключать устройства, к которым этот компьютер предоставил доступ</translation>
    </message>
    <message>
        <source>Access…</source>
        <translation>Доступ…</translation>
    </message>
    <message>
        <source>Error reading who may attach!</source>
        <translation>Ошибка чтения круга узлов, которым разрешено подключение!</translation>
    </message>
    <message>
        <source>Connected again to %1 on %2</source>
        <translation>Снова подключено: %1 на %2</translation>
    </message>
    <message>
        <source>Lost connection to %1 on %2</source>
        <translation>Потеряно соединение с %1 на %2</translation>
    </message>
    <message>
        <source>It is connected again as soon as the host exports it.</source>
        <translation>Устройство будет подключено снова, как только узел снова его предоставит.</translation>
    </message>
</context>
<context>
    <name>Ovra</name>
    <message>
        <source>%1 Help</source>
        <translation>Справка: %1</translation>
    </message>
</context>
<context>
    <name>OvraAdminUsbIpInterface</name>
    <message>
        <source>Unknown error.</source>
        <translation>Неизвестная ошибка.</translation>
    </message>
    <message>
        <source>The call failed.</source>
        <translation>Вызов завершился неудачей.</translation>
    </message>
    <message>
        <source>Out of memory.</source>
        <translation>Недостаточно памяти.</translation>
    </message>
    <message>
        <source>The called service is not known.</source>
        <translation>Вызываемая служба неизвестна.</translation>
    </message>
    <message>
        <source>Timeout reply.</source>
        <translation>Истекло время ожидания ответа.</translation>
    </message>
    <message>
        <source>The address given is not valid.</source>
        <translation>Указан недопустимый адрес.</translation>
    </message>
    <message>
        <source>The call/operation is not supported.</source>
        <translation>Вызов/операция не поддерживается.</translation>
    </message>
    <message>
        <source>The limits allocated to this process/call/connection exceeded the pre-defined values.</source>
        <translation>Превышены ограничения, установленные для этого процесса/вызова/соединения.</translation>
    </message>
    <message>
        <source>Authorization error.</source>
        <translation>Ошибка авторизации.</translation>
    </message>
    <message>
        <source>No server found.</source>
        <translation>Сервер не найден.</translation>
    </message>
    <message>
        <source>No network found.</source>
        <translation>Сеть не найдена.</translation>
    </message>
    <message>
        <source>QDBusServer tried to bind to an address that is already in use.</source>
        <translation>QDBusServer попытался занять адрес, который уже используется.</translation>
    </message>
    <message>
        <source>The call/process/message was sent after QDBusConnection disconnected.</source>
        <translation>Вызов/процесс/сообщение отправлены после разрыва соединения QDBusConnection.</translation>
    </message>
    <message>
        <source>The arguments passed to this call/operation are not valid.</source>
        <translation>Аргументы, переданные этому вызову/операции, недопустимы.</translation>
    </message>
    <message>
        <source>The method called was not found in this object/interface with the given parameters.</source>
        <translation>Вызываемый метод с указанными параметрами не найден в этом объекте/интерфейсе.</translation>
    </message>
    <message>
        <source>The type signature is not valid or compatible.</source>
        <translation>Сигнатура типа недопустима или несовместима.</translation>
    </message>
    <message>
        <source>The interface is not known in this object.</source>
        <translation>Интерфейс неизвестен этому объекту.</translation>
    </message>
    <message>
        <source>The object path points to an object that does not exist.</source>
        <translation>Путь указывает на несуществующий объект.</translation>
    </message>
    <message>
        <source>The property does not exist in this interface.</source>
        <translation>Свойство отсутствует в этом интерфейсе.</translation>
    </message>
    <message>
        <source>The property set failed because the property is read-only.</source>
        <translation>Не удалось изменить свойство: оно доступно только для чтения.</translation>
    </message>
    <message>
        <source>An internal error occurred.</source>
        <translation>Произошла внутренняя ошибка.</translation>
    </message>
    <message>
        <source>The service requested is invalid.</source>
        <translation>Запрошенная служба недопустима.</translation>
    </message>
    <message>
        <source>The object path provided is invalid.</source>
        <translation>Указан недопустимый путь объекта.</translation>
    </message>
    <message>
        <source>The interface is invalid.</source>
        <translation>Недопустимый интерфейс.</translation>
    </message>
    <message>
        <source>The member is invalid.</source>
        <translation>Недопустимый член интерфейса.</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Warning</source>
        <translation>Предупреждение</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Ошибка</translation>
    </message>
    <message>
        <source>You need to install %1 package and reboot system for correct work with remote USB-devices.</source>
        <translation>Для правильной работы с удалёнными USB-устройствами необходимо установить пакет %1 и перезагрузить систему.</translation>
    </message>
    <message>
        <source>Do you want to install %1 package now?</source>
        <translation>Установить пакет %1 сейчас?</translation>
    </message>
    <message>
        <source>Synaptic failed to start. Try updating %1 package manually.</source>
        <translation>Не удалось запустить Synaptic. Попробуйте обновить пакет %1 вручную.</translation>
    </message>
    <message>
        <source>You need to start usbipd service for correct work with remote USB-devices. Do you want to do it now?</source>
        <translation>Для правильной работы с удалёнными USB-устройствами необходимо запустить службу usbipd. Запустить её сейчас?</translation>
    </message>
    <message>
        <source>Failed to start usbipd service!</source>
        <translation>Не удалось запустить службу usbipd!</translation>
    </message>
</context>
<context>
    <name>RemoteDevices</name>
    <message>
        <source>Error get ports info!</source>
        <translation>Ошибка получения сведений о портах!</translation>
    </message>
    <message>
        <source>Error updating the list of remote devices!</source>
        <translation>Ошибка обновления списка удалённых устройств!</translation>
    </message>
    <message>
        <source>Error connect to device!
</source>
        <translation>Ошибка подключения к устройству!
</translation>
    </message>
    <message>
        <source>Error disconnect device!
</source>
        <translation>Ошибка отключения устройства!
</translation>
    </message>
</context>
<context>
    <name>RemoteDevicesModel</name>
    <message>
        <source>IP address</source>
        <translation>IP-адрес</translation>
    </message>
    <message>
        <source>Status</source>
        <translation>Состояние</translation>
    </message>
    <message>
        <source>Name</source>
        <translation>Название</translation>
    </message>
    <message>
        <source>lost connection</source>
        <translation>соединение потеряно</translation>
    </message>
    <message>
        <source>connected (%1)</source>
        <translation>подключено (%1)</translation>
    </message>
    <message>
        <source>constantly</source>
        <translation>постоянно</translation>
    </message>
    <message>
        <source>session</source>
        <translation>на сеанс</translation>
    </message>
    <message>
        <source>disconnected</source>
        <translation>отключено</translation>
    </message>
    <message>
        <source>lost connection (connecting again)</source>
        <translation>соединение потеряно (подключается снова)</translation>
    </message>
    <message>
        <source>The device is attached again as soon as its host exports it. Disconnect forgets the constant connection.</source>
        <translation>Устройство будет подключено снова, как только его узел снова его предоставит. «Отключить» удаляет постоянное подключение.</translation>
    </message>
</context>
<context>
    <name>ScanNetworkDialog</name>
    <message>
        <source>Scan network</source>
        <translation>Сканирование сети</translation>
    </message>
    <message>
        <source>Subnet address: </source>
        <translation>Адрес подсети: </translation>
    </message>
    <message>
        <source>Response timeout:</source>
        <translation>Время ожидания ответа:</translation>
    </message>
    <message>
        <source> ms</source>
        <translation> мс</translation>
    </message>
    <message>
        <source>Scan</source>
        <translation>Сканировать</translation>
    </message>
    <message>
        <source>Stop</source>
        <translation>Остановить</translation>
    </message>
    <message>
        <source>Hosts that share devices:</source>
        <translation>Компьютеры, предоставляющие устройства:</translation>
    </message>
    <message>
        <source>Double-click a host to list its devices</source>
        <translation>Дважды щёлкните компьютер, чтобы показать его устройства</translation>
    </message>
    <message>
        <source>(none)</source>
        <translation>(нет)</translation>
    </message>
</context>
<context>
    <name>ShareAccessDialog</name>
    <message>
        <source>Who may attach</source>
        <translation>Кто может подключаться</translation>
    </message>
    <message>
        <source>Who may attach the USB devices this machine shares:</source>
        <translation>Кто может подключать USB-устройства, к которым этот компьютер предоставил доступ:</translation>
    </message>
    <message>
        <source>Any host that reaches this machine</source>
        <translation>Любой узел, которому доступен этот компьютер</translation>
    </message>
    <message>
        <source>Only these hosts</source>
        <translation>Только эти узлы</translation>
    </message>
    <message>
        <source>One IPv4 or IPv6 address or prefix per line, for example 192.168.1.20, 192.168.1.0/24 or fd00::/64. This machine may always attach; with no host listed, only this machine may.</source>
        <translation>По одному адресу или префиксу IPv4 или IPv6 в строке, например 192.168.1.20, 192.168.1.0/24 или fd00::/64. Этот компьютер может подключаться всегда; если список пуст, подключаться может только он.</translation>
    </message>
    <message>
        <source>Line %1 is not valid: %2.</source>
        <translation>Строка %1 недопустима: %2.</translation>
    </message>
    <message>
        <source>Shared devices can be attached by any host that reaches this machine.</source>
        <translation>Предоставленные устройства может подключить любой узел, которому доступен этот компьютер.</translation>
    </message>
    <message>
        <source>Shared devices can be attached only by this machine.</source>
        <translation>Предоставленные устройства может подключить только этот компьютер.</translation>
    </message>
    <message numerus="yes">
        <source>Shared devices can be attached by %n host(s).</source>
        <translation>
            <numerusform>Предоставленные устройства может подключить %n узел.</numerusform>
            <numerusform>Предоставленные устройства могут подключить %n узла.</numerusform>
            <numerusform>Предоставленные устройства могут подключить %n узлов.</numerusform>
        </translation>
    </message>
    <message>
        <source>The list of hosts that may attach cannot be read: shared devices can be attached only by this machine until it is set again.</source>
        <translation>Список узлов, которым разрешено подключение, не читается: пока он не будет задан снова, предоставленные устройства может подключить только этот компьютер.</translation>
    </message>
    <message>
        <source>Who may attach shared devices is not known: the Manager service cannot be asked.</source>
        <translation>Неизвестно, кто может подключать предоставленные устройства: службу Manager не удаётся опросить.</translation>
    </message>
</context>
<context>
    <name>UsbIpListing</name>
    <message>
        <source>The usbip tool got no answer within %1 seconds.</source>
        <translation>Программа usbip не получила ответа за %1 с.</translation>
    </message>
    <message>
        <source>The usbip tool could not be started.</source>
        <translation>Не удалось запустить программу usbip.</translation>
    </message>
</context>
</TS>