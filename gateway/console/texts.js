// The console's words in its two languages; the page's own HTML holds the Chinese.
export const TEXTS = {
  zh: {
    title: 'Velkor 呼叫台', connecting: '正在连接网关…', forget: '忘记此密钥', sendTitle: '发送',
    quickTitle: '常用信息', to: '发给', text: '内容', priority: '优先级', normal: '普通', high: '紧急（先发）',
    every: '重复间隔', once: '只发一次', times: '次数', send: '发送', historyTitle: '队列与记录', search: '查找',
    searchHint: '按内容或收件人查找', colTime: '时间', colTo: '发给', colText: '内容', colFrom: '来自',
    colState: '状态', colAction: '操作', empty: '没有记录', older: '更早的记录', keyTitle: '需要密钥',
    keyHint: '这个网关只接受持有密钥的人。请输入管理员给您的密钥；浏览器会记住它。', key: '密钥', ok: '确定',
    cancel: '取消', all: '所有手表', group: '分组', members: '{n} 块手表',
    queued: '排队中', sending: '发送中', sent: '已发送', failed: '失败', expired: '已过期', cancelled: '已取消',
    healthOk: '正常：端口 {port} 已打开，排队 {depth} 条', portClosed: '信息发不出去：端口 {port} 未打开{since}',
    since: '（自 {time}）', storeBad: '信息发不出去：队列无法保存（{why}）', writesFailing: '信息发不出去：写入端口失败',
    brokerDown: 'MQTT 服务器未连接', panelDown: '呼叫面板收不到：端口 {port} 未打开{since}', lastFailure: '上次失败 {time}：{why}', depth: '排队 {n} 条',
    lostLink: '与网关的连接断开，正在重连…',
    needTo: '请填写发给谁：名称、分组、地址或 all', noSuch: '没有名为“{name}”的手表或分组',
    needText: '请填写内容', tooLong: '内容 {n} 字节，手表最多显示 84 字节', missing: '手表无法显示：{chars}（将显示为“?”）',
    sentOk: '已加入队列（编号 {id}）', refused: '网关拒绝：{why}', failedToSend: '未能发送：{why}',
    wrongKey: '密钥不对', readOnly: '此密钥只能查看，不能发送', cannotCancel: '不能取消：{why}',
    keyNeeded: '请输入密钥', unreachable: '连不上网关', tooMany: '一条信息最多发给 {n} 块手表',
  },
  en: {
    title: 'Velkor console', connecting: 'Connecting to the gateway…', forget: 'Forget this key', sendTitle: 'Send',
    quickTitle: 'Quick texts', to: 'To', text: 'Text', priority: 'Priority', normal: 'Normal', high: 'High (first)',
    every: 'Repeat every', once: 'Once', times: 'Times', send: 'Send', historyTitle: 'Queue and history',
    search: 'Search', searchHint: 'Search text or recipient', colTime: 'Time', colTo: 'To', colText: 'Text',
    colFrom: 'From', colState: 'State', colAction: 'Action', empty: 'Nothing here', older: 'Older pages',
    keyTitle: 'A key is needed',
    keyHint: 'This gateway takes pages only from people with a key. Enter the key you were given; the browser keeps it.',
    key: 'Key', ok: 'OK', cancel: 'Cancel', all: 'every watch', group: 'group', members: '{n} watches',
    queued: 'queued', sending: 'sending', sent: 'sent', failed: 'failed', expired: 'expired', cancelled: 'cancelled',
    healthOk: 'OK: port {port} open, {depth} queued', portClosed: 'Pages cannot go out: port {port} is not open{since}',
    since: ' (since {time})', storeBad: 'Pages cannot go out: the queue cannot be stored ({why})',
    writesFailing: 'Pages cannot go out: writes to the port fail', brokerDown: 'MQTT broker not connected',
    panelDown: 'Calls cannot come in: the panel port {port} is not open{since}',
    lastFailure: 'last failure {time}: {why}', depth: '{n} queued',
    lostLink: 'Connection to the gateway lost, reconnecting…',
    needTo: 'Say whom to page: a name, a group, an address or all', noSuch: 'No watch or group is named “{name}”',
    needText: 'Write the text', tooLong: 'The text is {n} bytes; the watches show at most 84',
    missing: 'The watches cannot show: {chars} (shown as “?”)', sentOk: 'Queued (page {id})',
    refused: 'The gateway refused: {why}', failedToSend: 'Not sent: {why}', wrongKey: 'That key is not one of the gateway’s',
    readOnly: 'This key may read, not send', cannotCancel: 'Cannot cancel: {why}', keyNeeded: 'Enter a key',
    unreachable: 'The gateway cannot be reached', tooMany: 'A page goes to at most {n} watches',
  },
};

// English when the browser's first language is English; Chinese otherwise, as the window does.
export function pickLanguage(languages) {
  const first = (languages && languages.length ? languages[0] : '').toLowerCase();
  return first.startsWith('en') ? 'en' : 'zh';
}
