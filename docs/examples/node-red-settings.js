// Node-RED settings for trying the flow beside velkor-gateway: the flow runs, nothing else is offered.
// No admin API and no editor (httpAdminRoot false), and Node-RED's own listener on loopback only.
module.exports = {
    uiHost: "127.0.0.1",
    uiPort: Number(process.env.NODE_RED_PORT || 1880),
    httpAdminRoot: false,
    httpNodeRoot: false,
    flowFile: process.env.NODE_RED_FLOW || "node-red-flow.json",
    credentialSecret: false,
    logging: { console: { level: "info", metrics: false, audit: false } },
    editorTheme: { tours: false },
};
